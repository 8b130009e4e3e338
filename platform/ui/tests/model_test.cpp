// The dialog model on its own: control state, what user input does to it,
// geometry and the retained paint marks. No front end, no workers.
#include "frontend.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace ui;

namespace {

DialogTemplate makeTemplate() {
    DialogTemplate t;
    t.caption = "Model";
    t.cx = 100;
    t.cy = 50;
    t.controls = {
        {10, Kind::Edit, "", {7, 7, 50, 14}, 0},
        {11, Kind::Edit, "", {0, 0, 10, 10}, ES_NUMBER},
        {12, Kind::Edit, "", {0, 0, 10, 10}, ES_UPPERCASE},
        {13, Kind::Edit, "", {0, 0, 10, 10}, ES_MULTILINE},
        {14, Kind::Edit, "fixed", {0, 0, 10, 10}, ES_READONLY},
        {-1, Kind::GroupBox, "Group", {0, 0, 10, 10}, 0},
        {20, Kind::AutoRadioButton, "a", {0, 0, 10, 10}, WS_GROUP},
        {21, Kind::AutoRadioButton, "b", {0, 0, 10, 10}, 0},
        {22, Kind::RadioButton, "c", {0, 0, 10, 10}, 0},
        {23, Kind::AutoRadioButton, "d", {0, 0, 10, 10}, WS_GROUP},
        {24, Kind::AutoCheckBox, "check", {0, 0, 10, 10}, 0},
        {25, Kind::PushButton, "off", {0, 0, 10, 10}, WS_DISABLED},
        {26, Kind::PushButton, "hidden", {0, 0, 10, 10}, WS_HIDDEN},
        {30, Kind::ListBox, "", {0, 0, 10, 10}, LBS_SORT},
        {31, Kind::ListBox, "", {0, 0, 10, 10}, LBS_MULTIPLESEL},
        {32, Kind::ComboBox, "", {0, 0, 10, 10}, CBS_DROPDOWNLIST},
        {33, Kind::ComboBox, "", {0, 0, 10, 10}, CBS_DROPDOWN},
        {40, Kind::ProgressBar, "", {0, 0, 10, 10}, 0},
        {41, Kind::DefPushButton, "Go", {0, 0, 10, 10}, 0},
    };
    return t;
}

class Recorder : public Dialog {
public:
    Recorder() : Dialog(makeTemplate()) {}
    std::vector<std::string> log;
    void onCommand(int id) override {
        // The handler sees the state the click left behind.
        log.push_back("command " + std::to_string(id) + (id == 24 ? " checked=" + std::to_string(checked(24)) : ""));
    }
    void onEditChange(int id) override {
        log.push_back("edit " + std::to_string(id) + " " + text(id));
        // Rewriting the text from the handler must not notify forever.
        if (id == 12) setText(12, text(12));
    }
    void onSelChange(int id) override { log.push_back("sel " + std::to_string(id)); }
};

TEST(Model, TypedTextIsFilteredAsTheFieldsDo) {
    Recorder d;
    using detail::inputText;
    EXPECT_TRUE(inputText(d, 11, "a1-2 3x"));
    EXPECT_EQ(d.text(11), "123");
    d.setTextLimit(11, 2);
    EXPECT_TRUE(inputText(d, 11, "98765"));
    EXPECT_EQ(d.text(11), "98");
    d.setText(11, "98765");  // the limit holds for typing only
    EXPECT_EQ(d.text(11), "98765");
    EXPECT_TRUE(inputText(d, 12, "abc-d"));
    EXPECT_EQ(d.text(12), "ABC-D");
    EXPECT_TRUE(inputText(d, 10, "first\r\nsecond"));  // single line: up to the break
    EXPECT_EQ(d.text(10), "first");
    EXPECT_TRUE(inputText(d, 13, "first\r\nsecond"));
    EXPECT_EQ(d.text(13), "first\r\nsecond");
    EXPECT_FALSE(inputText(d, 14, "x"));  // read-only
    EXPECT_EQ(d.text(14), "fixed");
    EXPECT_FALSE(inputText(d, 32, "x"));  // pick-only combo
    EXPECT_TRUE(inputText(d, 33, "typed"));
    EXPECT_EQ(d.text(33), "typed");
    d.enable(10, false);
    EXPECT_FALSE(inputText(d, 10, "x"));
    EXPECT_FALSE(inputText(d, 99, "x"));
}

TEST(Model, EditChangeIsToldOncePerChange) {
    Recorder d;
    d.setText(10, "a");
    d.setText(10, "a");  // same text: nothing new
    detail::inputText(d, 12, "up");
    EXPECT_EQ(d.log, (std::vector<std::string>{"edit 10 a", "edit 12 UP"}));
}

TEST(Model, ClicksToggleAutoButtonsBeforeTheHandler) {
    Recorder d;
    using detail::inputClick;
    EXPECT_TRUE(inputClick(d, 24));
    EXPECT_TRUE(inputClick(d, 24));
    EXPECT_EQ(d.log, (std::vector<std::string>{"command 24 checked=1", "command 24 checked=0"}));
    // Radio groups run from a WS_GROUP control to the next one; plain radio
    // buttons in the group are unchecked too, the next group is left alone.
    d.setChecked(22, 1);
    d.setChecked(23, 1);
    EXPECT_TRUE(inputClick(d, 21));
    EXPECT_EQ(d.checked(20), 0);
    EXPECT_EQ(d.checked(21), 1);
    EXPECT_EQ(d.checked(22), 0);
    EXPECT_EQ(d.checked(23), 1);
    EXPECT_TRUE(inputClick(d, 20));
    EXPECT_EQ(d.checked(21), 0);
    EXPECT_EQ(d.checked(20), 1);
    // Disabled, hidden, not a button, unknown: no click, no handler.
    d.log.clear();
    EXPECT_FALSE(inputClick(d, 25));
    EXPECT_FALSE(inputClick(d, 26));
    EXPECT_FALSE(inputClick(d, 10));
    EXPECT_FALSE(inputClick(d, 77));
    EXPECT_TRUE(d.log.empty());
    // Enter goes to the default button; a disabled default button takes none.
    detail::inputEnter(d);
    d.enable(41, false);
    detail::inputEnter(d);
    EXPECT_EQ(d.log, (std::vector<std::string>{"command 41"}));
}

TEST(Model, ListsSortKeepTheSelectionOnItsItemAndSelectByUser) {
    Recorder d;
    EXPECT_EQ(d.addString(30, "pear"), 0);
    EXPECT_EQ(d.addString(30, "Apple"), 0);
    d.setCurSel(30, 1);  // pear
    EXPECT_EQ(d.addString(30, "banana"), 1);
    EXPECT_EQ(d.addString(30, "zz"), 3);
    EXPECT_EQ(d.curSel(30), 2);
    EXPECT_EQ(d.text(30), "pear");
    EXPECT_EQ(d.itemText(30, 0), "Apple");
    EXPECT_EQ(d.itemText(30, 9), "");
    d.setCurSel(30, 7);  // out of range: no selection
    EXPECT_EQ(d.curSel(30), -1);
    d.resetContent(30);
    EXPECT_EQ(d.count(30), 0);

    for (const char* s : {"a", "b", "c"}) d.addString(31, s);
    d.setSelected(31, 2, true);
    EXPECT_TRUE(detail::inputSelect(d, 31, 0));
    EXPECT_EQ(d.selectedItems(31), (std::vector<int>{0, 2}));
    EXPECT_TRUE(detail::inputSelect(d, 31, 0));  // a second click takes it back
    EXPECT_EQ(d.selectedItems(31), (std::vector<int>{2}));
    d.setSelected(31, -1, true);
    EXPECT_EQ(d.selectedItems(31), (std::vector<int>{0, 1, 2}));
    EXPECT_FALSE(detail::inputSelect(d, 31, 3));

    for (const char* s : {"x", "y"}) d.addString(32, s);
    EXPECT_TRUE(detail::inputSelect(d, 32, 1));
    EXPECT_EQ(d.text(32), "y");
    EXPECT_EQ(d.log, (std::vector<std::string>{"sel 31", "sel 31", "sel 32"}));
}

TEST(Model, ListsTellTheFrontEndWhichItemWasAddedLast) {
    // What a live update scrolls to: the item added last, wherever sorting put it.
    Recorder d;
    const auto state = [&](int id) { return *detail::control(d, *detail::indexOf(d, id)); };
    EXPECT_EQ(state(30).lastAdded, -1);
    d.addString(30, "m");
    d.addString(30, "z");
    const unsigned before = state(30).added;
    EXPECT_EQ(d.addString(30, "a"), 0);
    EXPECT_EQ(state(30).lastAdded, 0);
    EXPECT_NE(state(30).added, before);  // a new item, even at an index seen before
    d.resetContent(30);
    EXPECT_EQ(state(30).lastAdded, -1);
    d.addString(31, "x");
    EXPECT_EQ(state(31).lastAdded, 0);
    EXPECT_EQ(state(30).lastAdded, -1);  // per list
    // Without a front end (and off the dialog thread) updateWindow does nothing.
    d.updateWindow();
    EXPECT_EQ(state(31).items, std::vector<std::string>{"x"});
}

TEST(Model, ProgressBarsClampAndStartOverPastTheEnd) {
    Recorder d;
    d.setPos(40, 150);
    EXPECT_EQ(d.pos(40), 100);
    d.setRange(40, 0, 50);
    EXPECT_EQ(d.pos(40), 50);
    d.setStep(40, 20);
    d.setPos(40, 40);
    d.stepIt(40);
    EXPECT_EQ(d.pos(40), 10);  // 60 is past 50: starts over
    d.setPos(40, -5);
    EXPECT_EQ(d.pos(40), 0);
}

TEST(Model, GeometryFollowsTheDialogFont) {
    Recorder d;
    EXPECT_EQ(detail::dluToPxX(4), 6);
    EXPECT_EQ(detail::dluToPxY(8), 13);
    EXPECT_EQ(detail::dluToPxX(7), 11);  // 10.5 rounds up, as the platform's MulDiv
    const Rect c = d.clientRect();
    EXPECT_EQ(c.right, 150);
    EXPECT_EQ(c.bottom, 81);
    const Rect w = d.windowRect();
    EXPECT_EQ(w.left, detail::kScreenX);
    EXPECT_EQ(w.right - w.left, 150 + 2 * detail::kFrameX);
    EXPECT_EQ(w.bottom - w.top, 81 + detail::kCaptionY + detail::kFrameBottom);
    const Rect e = d.controlRect(10);
    EXPECT_EQ(e.left, detail::kScreenX + detail::kFrameX + 11);
    EXPECT_EQ(e.top, detail::kScreenY + detail::kCaptionY + 11);
    EXPECT_EQ(e.right, detail::kScreenX + detail::kFrameX + 86);
    EXPECT_EQ(e.bottom, detail::kScreenY + detail::kCaptionY + 34);
    detail::setWindowOrigin(d, 0, 0);
    EXPECT_EQ(d.controlRect(10).left, detail::kFrameX + 11);
}

TEST(Model, PaintMarksReplaceWhatTheyCover) {
    Recorder d;
    Painter p(d);
    Font f;
    f.face = "Arial Black";
    p.drawText({10, 10, 50, 30}, "O", f, {0, 0, 255}, Color{255, 255, 255}, 0);
    p.drawText({60, 10, 90, 30}, "X", f, {255, 0, 0}, std::nullopt, 0);
    // Drawn again: still two marks, the redrawn one last.
    p.drawText({10, 10, 50, 30}, "O", f, {0, 0, 255}, Color{255, 255, 255}, 0);
    auto m = detail::marks(d);
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[0].text, "X");
    // A fill over the first mark only removes that one; partly covered marks stay.
    p.fillRect({0, 0, 55, 40}, kButtonFace);
    p.fillRect({80, 0, 100, 40}, kButtonFace);
    m = detail::marks(d);
    ASSERT_EQ(m.size(), 3u);
    EXPECT_EQ(m[0].text, "X");
    EXPECT_EQ(m[1].op, Mark::Op::Fill);
    // Covering everything leaves only the cover.
    p.fillRect(d.clientRect(), kButtonFace);
    EXPECT_EQ(detail::marks(d).size(), 1u);
}

TEST(Model, WithoutAFrontEndNothingBlocks) {
    Recorder d;
    // No window: runModal fails, boxes take their safe answer, posts go nowhere.
    EXPECT_EQ(d.runModal(), -1);
    EXPECT_EQ(d.messageBox("t", "T", MB_YESNO), IDNO);
    EXPECT_EQ(d.messageBox("t", "T", MB_OK), IDOK);
    EXPECT_FALSE(d.openFileDialog({}).has_value());
    d.postMessage(WM_USER + 1);
    d.postDeviceChange(DBT_DEVICEARRIVAL);
    EXPECT_TRUE(detail::idle());
    // A manual-reset event stays set until reset; a wait with a limit ends.
    ManualResetEvent ev(true);
    EXPECT_TRUE(ev.wait(0));
    ev.reset();
    EXPECT_FALSE(ev.wait(0));
}

}  // namespace
