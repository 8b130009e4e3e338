// production_shot - opens the read/write test or the format dialog in a real
// window and starts its job at once, answering its message boxes itself, so
// that a picture of the window can be taken while the job runs (see
// shoot.sh). The dialog ends when its window is closed or the job is over.
//
//   production_shot test [COUNT]     the read/write test with COUNT cycles
//   production_shot format           the format (Yes to its question)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "console/production/format_dialog.h"
#include "console/production/reader_test_dialog.h"
#include "platform/ui/frontend.h"

namespace {

// The real windows, with every message box answered Yes or OK.
class Answering : public ui::Frontend {
public:
    explicit Answering(std::unique_ptr<ui::Frontend> qt) : qt_(std::move(qt)) {}
    void createWindow(ui::Dialog& d, ui::Dialog* owner) override { qt_->createWindow(d, owner); }
    void showWindow(ui::Dialog& d) override { qt_->showWindow(d); }
    void destroyWindow(ui::Dialog& d, int result) override { qt_->destroyWindow(d, result); }
    void refresh(ui::Dialog& d, const ui::Changes& what) override { qt_->refresh(d, what); }
    void runLoop(ui::Dialog& d) override { qt_->runLoop(d); }
    void wake() override { qt_->wake(); }
    int messageBox(ui::Dialog*, const std::string&, const std::string&, unsigned flags) override
    {
        return (flags & 0xF) == ui::MB_YESNO ? ui::IDYES : ui::IDOK;
    }
    std::optional<std::string> fileDialog(ui::Dialog* o, bool save, const ui::FileDialogSpec& s) override
    {
        return qt_->fileDialog(o, save, s);
    }
    void updateNow(ui::Dialog& d) override { qt_->updateNow(d); }
    void setBusyCursor(bool on) override { qt_->setBusyCursor(on); }

private:
    std::unique_ptr<ui::Frontend> qt_;
};

// Starts the job 300 ms after the window shows.
template <class Base>
class Started : public Base {
public:
    explicit Started(int startButton, std::string count = {}) : start_(startButton), count_(std::move(count)) {}
    bool onInitDialog() override
    {
        Base::onInitDialog();
        this->setTimer(90, 300);
        return true;
    }
    void onTimer(int id) override
    {
        if (id != 90)
            return Base::onTimer(id);
        this->killTimer(90);
        if (!count_.empty())
            ui::detail::inputText(*this, production::IDC_TEST_TIMES, count_);
        ui::detail::inputClick(*this, start_);
    }

private:
    int start_;
    std::string count_;
};

}  // namespace

int main(int argc, char** argv)
{
    const std::string what = argc > 1 ? argv[1] : "";
    if (what != "test" && what != "format") {
        std::fprintf(stderr, "usage: production_shot test [COUNT] | format\n");
        return 2;
    }
    int qargc = 1;
    auto qt = ui::qt::createFrontend(qargc, argv);
    if (!qt) {
        std::fprintf(stderr, "production_shot: no display\n");
        return 2;
    }
    Answering fe(std::move(qt));
    ui::detail::setFrontend(&fe);
    ui::detail::setDialogThread();
    if (what == "test") {
        Started<production::ReaderTestDialog> d(production::IDC_TEST, argc > 2 ? argv[2] : "300");
        d.runModal();
    } else {
        Started<production::FormatDialog> d(production::IDC_FORMAT);
        d.runModal();
    }
    ui::detail::setFrontend(nullptr);
    return 0;
}
