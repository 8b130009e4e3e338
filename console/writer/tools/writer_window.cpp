// writer_window - shows the writer dialog alone in a real Qt window, to look
// at its layout (documentation screenshots).
//
//   writer_window                  the dialog as it opens on the attached device
//   writer_window FILE.eep         then loads FILE.eep and writes it to the
//                                  device, answering the file dialog with FILE
//                                  and the message boxes with OK
//   writer_window --dump           the "Dump Dialog" of the device's EEPROM
//
// It runs on the usual simulated bus ($VELK_SIM_DIR). With TAVRIN_SCREENSHOT
// set, the Qt front end saves a picture and closes the window.
#include <memory>
#include <optional>
#include <string>

#include "console/writer/dump_dialog.h"
#include "console/writer/flash_writer_dialog.h"
#include "platform/ui/frontend.h"

namespace {

// The Qt front end, with the open dialog and the message boxes answered.
class Answering : public ui::Frontend {
public:
    Answering(std::unique_ptr<ui::Frontend> qt, std::string file) : qt_(std::move(qt)), file_(std::move(file)) {}
    void createWindow(ui::Dialog& d, ui::Dialog* owner) override { qt_->createWindow(d, owner); }
    void showWindow(ui::Dialog& d) override { qt_->showWindow(d); }
    void destroyWindow(ui::Dialog& d, int result) override { qt_->destroyWindow(d, result); }
    void refresh(ui::Dialog& d, const ui::Changes& what) override { qt_->refresh(d, what); }
    void runLoop(ui::Dialog& d) override { qt_->runLoop(d); }
    void wake() override { qt_->wake(); }
    int messageBox(ui::Dialog*, const std::string&, const std::string&, unsigned) override { return ui::IDOK; }
    std::optional<std::string> fileDialog(ui::Dialog*, bool, const ui::FileDialogSpec&) override { return file_; }
    void updateNow(ui::Dialog& d) override { qt_->updateNow(d); }
    void setBusyCursor(bool on) override { qt_->setBusyCursor(on); }

private:
    std::unique_ptr<ui::Frontend> qt_;
    std::string file_;
};

// Loads and writes the file once the window is up.
class Demo : public writer::FlashWriterDialog {
public:
    explicit Demo(bool run) : run_(run) {}
    bool onInitDialog() override {
        FlashWriterDialog::onInitDialog();
        if (run_) setTimer(kGo, 100);
        return true;
    }
    void onTimer(int id) override {
        if (id != kGo) return FlashWriterDialog::onTimer(id);
        killTimer(kGo);
        ui::detail::inputClick(*this, writer::IDC_LOAD_EEP);
        ui::detail::inputClick(*this, writer::IDC_WRITE_EEPROM);
    }

private:
    static constexpr int kGo = 99;
    bool run_;
};

}  // namespace

int main(int argc, char** argv) {
    const std::string file = argc > 1 ? argv[1] : "";
    int qtArgc = 1;
    ui::detail::setDialogThread();
    std::unique_ptr<ui::Frontend> qt = ui::qt::createFrontend(qtArgc, argv);
    if (!qt) {
        std::fprintf(stderr, "writer_window: cannot open a window on this display\n");
        return 2;
    }
    Answering fe(std::move(qt), file);
    ui::detail::setFrontend(&fe);
    if (file == "--dump") {
        device::List list = device::List::devices(0, 0, 1);
        std::vector<uint16_t> words(64);
        if (!list || !VelkReadEEPROM(list.get(), 0, 0, 64, words.data())) words.clear();
        writer::DumpContent content;
        content.lines = writer::dumpLines(words);
        content.strings = writer::decodeStrings([&](unsigned i) -> std::optional<uint16_t> {
            if (i >= words.size()) return std::nullopt;
            return words[i];
        });
        writer::DumpDialog dump(std::move(content));
        dump.runModal();
    } else {
        Demo dlg(!file.empty());
        dlg.runModal();
    }
    ui::detail::setFrontend(nullptr);
    ui::detail::clearHooks();
    return 0;
}
