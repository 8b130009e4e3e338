// qt_shot - shows a dialog through the Qt front end and saves a picture of its
// client area, to check the renderer's layout and fonts by eye.
//
//   QT_QPA_PLATFORM=offscreen qt_shot console.png          a console-like dialog
//   QT_QPA_PLATFORM=offscreen qt_shot --all controls.png   every kind of control and paint marks
//   xvfb-run -a qt_shot console.png                       the same under a virtual X server
#include "qt_frontend.h"
#include "qt_window.h"

#include <QImage>
#include <QPixmap>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

using namespace ui;

DialogTemplate consoleLike()
{
    DialogTemplate t;
    t.id = 102;
    t.caption = "Tavrin";
    t.cx = 359;
    t.cy = 187;
    auto add = [&](int id, Kind k, const std::string& cap, DlgRect r, uint32_t style = 0) {
        t.controls.push_back(ControlTemplate{id, k, cap, r, style});
    };
    add(-1, Kind::Bitmap, "129", {7, 7, 96, 173});
    struct Row { int id; const char* button; const char* frame; };
    const Row rows[] = {
        {1000, "Read Me first", nullptr},
        {1001, "F/&W && EEPROM", "Click to update Reader Firmware / EEPROM"},
        {1002, "&Read/Write Test", "Click to Read/Write test for Mass Production"},
        {1003, "&Format", "Format for every media card"},
        {1006, "Kitbox", "Usb Flash Disk Tools"},
        {1004, "Driver Install", "Install driver for Win98SE/Me/XP/2000"},
        {1007, "Delete Registry", "Delete USB storage registry"},
        {1005, "E&xit", nullptr},
    };
    int y = 7;
    for (const Row& r : rows) {
        if (r.frame) add(-1, Kind::GroupBox, r.frame, {110, y - 3, 170, 21});
        add(r.id, Kind::PushButton, r.button, {287, y + 2, 65, 14});
        y += 22;
    }
    return t;
}

DialogTemplate everyControl()
{
    DialogTemplate t;
    t.caption = "Every control";
    t.cx = 300;
    t.cy = 220;
    auto add = [&](int id, Kind k, const std::string& cap, DlgRect r, uint32_t style = 0) {
        t.controls.push_back(ControlTemplate{id, k, cap, r, style});
    };
    add(-1, Kind::GroupBox, " Buttons ", {7, 7, 140, 80});
    add(1, Kind::DefPushButton, "OK", {14, 20, 50, 14});
    add(2, Kind::PushButton, "Cancel", {70, 20, 50, 14});
    add(10, Kind::AutoCheckBox, "Auto check box", {14, 38, 120, 10});
    add(11, Kind::CheckBox, "Check box (disabled)", {14, 50, 120, 10}, WS_DISABLED);
    add(12, Kind::AutoRadioButton, "50 ns(Default)", {14, 62, 60, 10}, WS_GROUP);
    add(13, Kind::AutoRadioButton, "30 ns", {78, 62, 50, 10});
    add(14, Kind::PushButton, "Two\nlines", {14, 73, 40, 12}, BS_MULTILINE);
    add(-1, Kind::Static, "Static text that wraps onto a second line in its box", {155, 7, 138, 20});
    add(-1, Kind::Static, "Centred", {155, 28, 138, 8}, SS_CENTER);
    add(20, Kind::Edit, "edit", {155, 40, 66, 12});
    add(21, Kind::Edit, "", {227, 40, 66, 12}, ES_NUMBER);
    add(22, Kind::Edit, "READ ONLY", {155, 56, 66, 12}, ES_READONLY);
    add(23, Kind::Edit, "", {227, 56, 66, 12}, ES_UPPERCASE);
    add(24, Kind::Edit, "", {155, 72, 138, 40}, ES_MULTILINE | WS_VSCROLL);
    add(30, Kind::ListBox, "", {7, 92, 70, 50}, LBS_SORT | WS_VSCROLL);
    add(31, Kind::ListBox, "", {82, 92, 65, 50}, LBS_MULTIPLESEL | WS_VSCROLL);
    add(40, Kind::ComboBox, "", {155, 118, 66, 60}, CBS_DROPDOWNLIST);
    add(41, Kind::ComboBox, "", {227, 118, 66, 60}, CBS_DROPDOWN);
    add(-1, Kind::Static, "LUN0:", {7, 150, 24, 8});
    add(50, Kind::ProgressBar, "", {34, 149, 150, 10});
    add(-1, Kind::Bitmap, "129", {7, 166, 40, 40});
    add(51, Kind::Static, "Status line........", {155, 140, 138, 8});
    return t;
}

class ShotDialog : public Dialog {
public:
    ShotDialog(DialogTemplate t, std::string out, bool all)
        : Dialog(std::move(t)), out_(std::move(out)), all_(all) {}
    bool onInitDialog() override
    {
        appendSystemMenu(16, "\xE9\x97\x9C\xE6\x96\xBC Tavrin(&A)...");
        if (!all_) {
            setTitle(title() + " -- 1.4.4.4");
        } else {
            setChecked(10, 1);
            setChecked(12, 1);
            setText(24, "0000  FF FF FF FF\r\n0010  12 34 56 78\r\n0020  9A BC DE F0");
            for (const char* s : {"pear", "apple", "fig"}) addString(30, s);
            setCurSel(30, 1);
            for (const char* s : {"one", "two", "three"}) addString(31, s);
            setSelected(31, 0, true);
            setSelected(31, 2, true);
            for (const char* s : {"Alpha", "Beta"}) addString(40, s);
            setCurSel(40, 0);
            setText(41, "typed");
            setRange(50, 0, 100);
            setPos(50, 60);
        }
        setTimer(1, 400);
        return true;
    }
    void onPaint(Painter& p) override
    {
        if (!all_) return;
        const Rect c = clientRect();
        p.fillRect({c.right - 120, c.bottom - 60, c.right - 8, c.bottom - 8}, kButtonFace);
        p.drawText({c.right - 120, c.bottom - 60, c.right - 8, c.bottom - 8}, " OK",
                   Font{"Arial Black", 40, 0, 400}, Color{0, 150, 40}, std::nullopt,
                   DT_CENTER | DT_VCENTER | DT_SINGLELINE);
        p.drawText({290, 225, 310, 245}, "O", Font{"Arial Black", 20, 13, 400}, Color{0, 0, 255},
                   Color{255, 255, 255}, 0);
        p.drawText({315, 225, 335, 245}, "X", Font{"Arial Black", 20, 13, 400}, Color{255, 0, 0},
                   Color{255, 255, 255}, 0);
    }
    void onTimer(int) override
    {
        killTimer(1);
        if (auto* w = qtfe::QtFrontend::windowOf(*this)) {
            const bool ok = w->picture().save(QString::fromStdString(out_));
            std::printf("%s %s (%dx%d)\n", ok ? "saved" : "could not save", out_.c_str(),
                        w->width(), w->height());
        }
        endDialog(IDOK);
    }
private:
    std::string out_;
    bool all_;
};

}  // namespace

int main(int argc, char** argv)
{
    bool all = false;
    std::string out = "qt_shot.png";
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--all") == 0) all = true;
        else out = argv[i];
    }
    int qargc = 1;
    auto fe = ui::qt::createFrontend(qargc, argv);
    if (!fe) {
        std::fprintf(stderr, "qt_shot: no display (set QT_QPA_PLATFORM=offscreen or use xvfb-run)\n");
        return 2;
    }
    ui::detail::setFrontend(fe.get());
    ui::detail::setDialogThread();
    {
        ShotDialog d(all ? everyControl() : consoleLike(), out, all);
        d.runModal();
    }
    ui::detail::setFrontend(nullptr);
    return 0;
}
