// block_marker.h - retiring one block on the device: erase it, wait 100 ms,
// mark it bad, each access bracketed by open and close of LUN 0.
#pragma once

#include <velk.h>

#include <cstdint>

namespace marker {

// Pause between the erase and the retire of a block.
inline constexpr int64_t kRetirePauseMs = 100;

class BlockMarker {
public:
    virtual ~BlockMarker() = default;
    virtual void markBad(uint8_t chip, uint32_t block) = 0;
};

// Over the device library. Results are not examined: the list shows what
// the log says, not what the device did.
class VelkBlockMarker : public BlockMarker {
public:
    // handle must not be null.
    explicit VelkBlockMarker(VelkHandle handle) : h_(handle) {}
    void markBad(uint8_t chip, uint32_t block) override;

private:
    VelkHandle h_;
};

}  // namespace marker
