// rom_size_dialog.h - the "ROM Size" dialog (template 134): asks for the
// size of the external ROM of a class-12h reader, which comes in two parts,
// "QN 537" (48 KiB) and "QN 537E" (64 KiB). It checks the part the device
// reports and closes with OK once one is chosen.
#pragma once

#include <cstdint>

#include "platform/ui/dialog.h"

namespace writer {

class RomSizeDialog : public ui::Dialog {
public:
    RomSizeDialog();
    bool onInitDialog() override;
    void onCommand(int id) override;

    // The chosen size in bytes after OK (C000h or 10000h), 0 before.
    uint32_t size() const { return size_; }

private:
    uint32_t size_ = 0;
};

}  // namespace writer
