// imbra_shot - Imbra's real window in the middle of a Program, for the
// documentation picture (imager/tools/shot.sh runs it under Xvfb).
//
//   imbra_shot IMAGE COMMAND
//
// Opens Imbra's dialog in a real window on the device of the bus, loads
// IMAGE as Load does after its file dialog, and presses Program. When half
// of the volume is written the window is brought up to date (as after every
// sector) and COMMAND runs (it takes the picture); the Program then goes on
// to its end, and the program exits.
#include "imager/imbra_dialog.h"
#include "imager/velk_sector_device.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

using namespace imager;

constexpr int kStartTimer = 77;

class ShotDialog : public ImbraDialog {
public:
    ShotDialog(std::string image, std::string command)
        : ImbraDialog([this](VelkHandle h) { return std::make_unique<Grabbing>(h, *this); }),
          image_(std::move(image)), command_(std::move(command)) {
        DiscImage probe;
        if (probe.open(image_) && probe.findStart() == SearchResult::Found) middle_ = probe.volumeSectors().value_or(0) / 2;
    }

    bool onInitDialog() override {
        const bool r = ImbraDialog::onInitDialog();
        setTimer(kStartTimer, 700);   // once the window shows
        return r;
    }
    void onTimer(int id) override {
        if (id != kStartTimer) return ImbraDialog::onTimer(id);
        killTimer(kStartTimer);
        loadImage(image_);
        onCommand(IDC_PROGRAM);
        onCommand(IDC_EXIT);
    }

private:
    // The device of the bus; the picture is taken before the middle sector.
    struct Grabbing : VelkSectorDevice {
        Grabbing(VelkHandle h, ShotDialog& d) : VelkSectorDevice(h), d_(d) {}
        bool writeSector(uint32_t lba, const uint8_t* data) override {
            if (lba == d_.middle_ && lba > 0) {
                d_.updateWindow();
                if (std::system(d_.command_.c_str()) != 0) std::fprintf(stderr, "imbra_shot: the picture failed\n");
            }
            return VelkSectorDevice::writeSector(lba, data);
        }
        ShotDialog& d_;
    };

    std::string image_, command_;
    uint32_t middle_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: imbra_shot IMAGE COMMAND\n");
        return 2;
    }
    const std::string image = argv[1], command = argv[2];
    return ui::runProgram(1, argv, {"Imbra", "Imbra"}, [&] {
        ShotDialog dlg(image, command);
        dlg.runModal();
    });
}
