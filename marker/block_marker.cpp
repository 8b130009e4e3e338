#include "marker/block_marker.h"

#include "ui/dialog.h"

namespace marker {

void VelkBlockMarker::markBad(uint8_t chip, uint32_t block) {
    if (!h_) return;
    VelkOpenDevice(h_, 0);
    VelkEraseBlock(h_, 0, chip, block);
    ui::sleepMs(kRetirePauseMs);
    VelkRetirex(h_, 0, chip, block);
    VelkCloseDevice(h_, 0);
}

}  // namespace marker
