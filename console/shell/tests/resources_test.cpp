#include "console/shell/resources.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <vector>

namespace console {
namespace {

TEST(ConsoleStrings, AboutItemText)
{
    EXPECT_EQ(loadString(IDS_ABOUTBOX), "\xe9\x97\x9c\xe6\x96\xbc Tavrin(&A)...");  // 關於
    EXPECT_EQ(loadString(9999), "");
}

TEST(ConsoleStrings, HardwareIdListIsThe925CharacterList)
{
    const std::string s = loadString(IDS_HARDWARE_IDS);
    ASSERT_EQ(s.size(), 925u);
    ASSERT_EQ(s.substr(s.size() - 2), "; ");

    // Walk the list: item ";" item "; " ... and check every item.
    std::vector<std::string> items;
    size_t at = 0;
    while (at < s.size()) {
        const size_t semi = s.find(';', at);
        ASSERT_NE(semi, std::string::npos) << "item without separator at " << at;
        items.push_back(s.substr(at, semi - at));
        at = semi + 1;
        if (items.size() % 2 == 0) {
            ASSERT_LT(at, s.size() + 1);
            ASSERT_EQ(s[at], ' ') << "no blank after separator " << items.size();
            ++at;
        }
    }
    ASSERT_EQ(items.size(), 50u);
    EXPECT_EQ(items[0], "VID_3A7C&PID_0760");
    EXPECT_EQ(items[1], "VID_3A7C&PID_07A0");
    EXPECT_EQ(items[2], "VID_3A7C&PID_0710");
    for (size_t i = 3; i < items.size(); ++i)
        EXPECT_EQ(items[i], "VID_3A7C&PID_0760") << "item " << i;
}

bool overlaps(const ui::DlgRect& a, const ui::DlgRect& b)
{
    return a.x < b.x + b.cx && b.x < a.x + a.cx && a.y < b.y + b.cy && b.y < a.y + a.cy;
}

TEST(ConsoleTemplate, ButtonsCaptionsFramesAndLayout)
{
    const ui::DialogTemplate t = consoleTemplate();
    EXPECT_EQ(t.id, 102);
    EXPECT_EQ(t.caption, "Tavrin");
    EXPECT_EQ(t.cx, 359);
    EXPECT_EQ(t.cy, 187);
    EXPECT_TRUE(t.systemMenu);

    const std::map<int, std::pair<std::string, std::string>> expected = {
        {1000, {"Read Me first", ""}},
        {1001, {"F/&W && EEPROM", "Click to update Reader Firmware / EEPROM"}},
        {1002, {"&Read/Write Test", "Click to Read/Write test for Mass Production"}},
        {1003, {"&Format", "Format for every media card"}},
        {1006, {"Kitbox", "Usb Flash Disk Tools"}},
        {1004, {"Driver Install", "Install driver for Win98SE/Me/XP/2000"}},
        {1007, {"Delete Registry", "Delete USB storage registry"}},
        {1005, {"E&xit", ""}},
    };

    std::set<int> seen;
    const ui::ControlTemplate* bitmap = nullptr;
    for (const ui::ControlTemplate& c : t.controls) {
        // Everything inside the client area with a margin.
        EXPECT_GE(c.rect.x, 7);
        EXPECT_GE(c.rect.y, 7);
        EXPECT_LE(c.rect.x + c.rect.cx, t.cx - 7) << c.caption;
        EXPECT_LE(c.rect.y + c.rect.cy, t.cy - 7) << c.caption;
        if (c.kind == ui::Kind::Bitmap) {
            bitmap = &c;
            continue;
        }
        if (c.kind != ui::Kind::PushButton)
            continue;
        ASSERT_TRUE(expected.count(c.id)) << "unexpected button " << c.id;
        EXPECT_TRUE(seen.insert(c.id).second) << "button twice: " << c.id;
        EXPECT_EQ(c.caption, expected.at(c.id).first);
        EXPECT_EQ(c.style & ui::WS_DISABLED, 0u) << "device buttons start enabled";

        // The frame at the button's left on the same row, if it has one.
        const std::string& frame = expected.at(c.id).second;
        const ui::ControlTemplate* found = nullptr;
        for (const ui::ControlTemplate& g : t.controls) {
            if (g.kind == ui::Kind::GroupBox && g.rect.x + g.rect.cx <= c.rect.x &&
                g.rect.y <= c.rect.y && c.rect.y + c.rect.cy <= g.rect.y + g.rect.cy)
                found = &g;
        }
        if (frame.empty()) {
            EXPECT_EQ(found, nullptr) << c.caption << " has no frame";
        } else {
            ASSERT_NE(found, nullptr) << "no frame left of " << c.caption;
            EXPECT_EQ(found->caption, frame);
            EXPECT_EQ(found->id, -1);
        }
    }
    EXPECT_EQ(seen.size(), expected.size());

    ASSERT_NE(bitmap, nullptr);
    EXPECT_EQ(bitmap->caption, "129");
    for (const ui::ControlTemplate& c : t.controls) {
        if (&c != bitmap) {
            EXPECT_TRUE(bitmap->rect.x <= c.rect.x && bitmap->rect.y <= c.rect.y) << "bitmap is top left";
        }
    }

    // Nothing overlaps anything but its own frame.
    for (size_t i = 0; i < t.controls.size(); ++i)
        for (size_t j = i + 1; j < t.controls.size(); ++j)
            EXPECT_FALSE(overlaps(t.controls[i].rect, t.controls[j].rect))
                << t.controls[i].caption << " / " << t.controls[j].caption;
}

TEST(ConsoleTemplate, ButtonsComeInTheListedOrderSoTabReachesExitLast)
{
    // Regression: "E&xit" came second, so Tab went from "Read Me first" to "E&xit".
    std::vector<int> order;
    for (const ui::ControlTemplate& c : consoleTemplate().controls)
        if (c.kind == ui::Kind::PushButton || c.kind == ui::Kind::DefPushButton) order.push_back(c.id);
    EXPECT_EQ(order, (std::vector<int>{IDC_README, IDC_WRITER, IDC_RW_TEST, IDC_FORMAT, IDC_KITBOX,
                                       IDC_DRIVER_INSTALL, IDC_DELETE_REGISTRY, IDC_EXIT}));
}

TEST(ConsoleTemplate, AboutBoxClosesWithOk)
{
    const ui::DialogTemplate t = aboutTemplate();
    bool ok = false;
    for (const ui::ControlTemplate& c : t.controls)
        ok = ok || (c.id == ui::IDOK && c.kind == ui::Kind::DefPushButton);
    EXPECT_TRUE(ok);
    EXPECT_EQ(t.caption, "About Tavrin");
}

}  // namespace
}  // namespace console
