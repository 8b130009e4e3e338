// The LUN panel: media decoding, labels and the LUN table on its own, and
// the panel in a small host dialog run from scripts on the simulated bus.
#include "console/shell/lun_panel.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "platform/os/os.h"
#include "platform/ui/frontend.h"
#include "platform/ui/scripted.h"
#include "tests/support/temp_bus.h"

#include <velk_sim.h>

namespace console {
namespace {

TEST(MediaCode, LaterBitsOverrideEarlierOnes)
{
    struct Case { uint8_t flags; uint8_t code; const char* name; };
    const Case cases[] = {
        {0x00, kMediaNone, ""},      {0x08, kMediaIde, "IDE"},   {0x10, kMediaCf, "CF"},
        {0x20, kMediaSm, "SM"},      {0x40, kMediaSd, "SD/MMC"}, {0x80, kMediaMs, "MS/Pro"},
        {0x01, kMediaXd, "XD"},      {0x02, kMediaFlash, "Flash"},
        {0x83, kMediaFlash, "Flash"},  // bit 1 wins over bits 0 and 7
        {0x81, kMediaXd, "XD"},        // bit 0 over bit 7
        {0x48, kMediaSd, "SD/MMC"},    // bit 6 over bit 3
        {0x04, kMediaNone, ""},        // bit 2 is not looked at
        {0xFF, kMediaFlash, "Flash"},  {0x18, kMediaCf, "CF"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(mediaCodeFromFlags(c.flags), c.code) << "flags " << int(c.flags);
        EXPECT_STREQ(mediaName(mediaCodeFromFlags(c.flags)), c.name);
    }
    EXPECT_STREQ(mediaName(kMediaUnknown), "Unknow");
    EXPECT_STREQ(mediaName(9), "");
    EXPECT_EQ(driveLabel('E', kMediaSd), "(E:) SD/MMC");
    EXPECT_EQ(driveLabel('?', kMediaUnknown), "(?:) Unknow");
}

TEST(LunTableTest, HundredBytesCountCodesAndSectorCounts)
{
    LunTable t;
    t.setLunCount(4);
    t.setMediaCode(0, kMediaCf);
    t.setMediaCode(18, kMediaXd);
    t.setMediaCode(19, kMediaSd);  // beyond the codes: ignored
    t.setSectors(0, 0x01020304);
    t.setSectors(19, 7);
    t.setSectors(20, 9);           // beyond the counts: ignored
    const auto& b = t.bytes();
    EXPECT_EQ(b[0], 4);
    EXPECT_EQ(b[1], kMediaCf);
    EXPECT_EQ(b[19], kMediaXd);
    EXPECT_EQ(b[20], 0x04);
    EXPECT_EQ(b[23], 0x01);
    EXPECT_EQ(b[96], 7);
    EXPECT_EQ(t.sectors(0), 0x01020304u);
    EXPECT_EQ(t.sectors(20), 0u);
    EXPECT_EQ(t.mediaCode(19), 0);
    t.zero();
    EXPECT_EQ(t.bytes(), (std::array<uint8_t, 100>{}));
}

// ---- the panel in a host dialog ----------------------------------------------------

enum : int { IDC_START = 1034, IDC_MARKS = 1050, IDC_REFRESH = 1051, IDC_HOLD = 1052 };

ui::DialogTemplate hostTemplate()
{
    ui::DialogTemplate t;
    t.caption = "Host";
    t.cx = 295;
    t.cy = 150;
    t.controls.push_back({IDC_LUN_STATUS, ui::Kind::Static, "", {7, 38, 200, 8}, 0});
    for (int row = 0; row < kLunRows; ++row) {
        const int y = 51 + 13 * row;
        t.controls.push_back({lunCaptionId(row), ui::Kind::Static, "LUN" + std::to_string(row) + ":", {7, y + 1, 22, 8}, 0});
        t.controls.push_back({lunLabelId(row), ui::Kind::Static, "", {30, y + 1, 62, 8}, 0});
        t.controls.push_back({lunBarId(row), ui::Kind::ProgressBar, "", {95, y, 120, 10}, 0});
    }
    t.controls.push_back({IDC_START, ui::Kind::PushButton, "Start", {248, 58, 40, 14}, 0});
    t.controls.push_back({IDC_MARKS, ui::Kind::PushButton, "Marks", {248, 76, 40, 14}, 0});
    t.controls.push_back({IDC_REFRESH, ui::Kind::PushButton, "Refresh", {248, 94, 40, 14}, 0});
    t.controls.push_back({IDC_HOLD, ui::Kind::PushButton, "Hold", {248, 112, 40, 14}, 0});
    return t;
}

struct Knobs {
    bool walkFinds = true;
};

class TestPanel : public LunPanel {
public:
    TestPanel(ui::Dialog& d, const Knobs& k) : LunPanel(d, IDC_START), k_(k) {}

protected:
    bool usbChildWalk() const override { return k_.walkFinds; }

private:
    Knobs k_;
};

// Opens as the dialogs do; its buttons paint marks, refresh, and keep a
// reference to the list as a job would. After the run it reports the table.
class Host : public ui::Dialog {
public:
    explicit Host(const Knobs& k) : ui::Dialog(hostTemplate()), panel(*this, k) {}
    bool onInitDialog() override
    {
        for (const os::Guid& g : os::classGuidsFromName("USB", 8))
            os::registerDeviceNotification(*this, g);
        panel.clearRows();
        panel.zeroTable();
        if (!panel.createList()) {
            enable(IDC_START, false);
            return true;
        }
        if (panel.refreshSectorCounts())
            panel.writeLabels();
        panel.setDeviceReady(true);
        return true;
    }
    void onCommand(int id) override
    {
        switch (id) {
        case IDC_MARKS:
            panel.paintMark(0, kRowPass);
            panel.paintMark(1, kRowFail);
            panel.paintMark(2, kRowNoMark);
            break;
        case IDC_REFRESH:
            panel.zeroTable();
            if (panel.refreshSectorCounts())
                panel.writeLabels();
            break;
        case IDC_HOLD:
            held = panel.list();
            break;
        default:
            ui::Dialog::onCommand(id);
        }
    }
    void onTimer(int id) override
    {
        if (id == LunPanel::kSettleTimer)
            ui::hooks::transcript(std::string("settle ") + (panel.onSettleTimer() ? "ready" : "not ready"));
    }
    int onDeviceChange(unsigned e) override { return panel.onDeviceChange(e); }
    void onPaint(ui::Painter& p) override { panel.repaintMarks(p); }

    void report()
    {
        const LunTable t = panel.table();
        std::string s = "table " + std::to_string(t.lunCount());
        for (int i = 0; i < 9; ++i)
            s += " " + std::to_string(t.mediaCode(i)) + "/" + std::to_string(t.sectors(i));
        ui::hooks::transcript(s);
        ui::hooks::transcript(std::string("held ") + (held ? (panel.holds(held) ? "current" : "kept") : "none"));
    }

    TestPanel panel;
    SharedList held;
};

class LunPanelTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(bus_.busOk()) << VelkSimLastError(); }
    void create(const std::string& name, const std::string& profile, std::vector<std::string> settings = {})
    {
        std::vector<const char*> p;
        for (auto& s : settings)
            p.push_back(s.c_str());
        p.push_back(nullptr);
        ASSERT_EQ(VelkSimCreate(name.c_str(), profile.c_str(), p.data()), 1) << VelkSimLastError();
    }
    struct Outcome {
        int exitCode;
        std::string transcript;
        bool has(const std::string& l) const { return ("\n" + transcript).find("\n" + l + "\n") != std::string::npos; }
    };
    Outcome run(const std::string& script, Knobs k = {}, std::function<void(Host&)> after = {})
    {
        auto r = ui::scripting::runScript(script, {"Host", "Host"}, [&] {
            Host h(k);
            h.runModal();
            h.report();
            if (after)
                after(h);
        });
        return {r.exitCode, r.transcript};
    }
    testsupport::TempBus bus_;
};

// Four LUNs, media in two: the labelled rows come from the drive records;
// the empty slots report no medium and no sectors.
TEST_F(LunPanelTest, ListsTheReadersLunsWithLabelsAndSectorCounts)
{
    create("r", "reader", {"lun0.size=1M", "lun2.size=2M"});
    const Outcome o = run("expect 1014 text (D:) CF\nexpect 1014 enabled yes\n"
                          "expect 1017 text \nexpect 1017 enabled no\n"
                          "expect 1020 text (F:) SD/MMC\nexpect 1023 text \nexpect 1023 enabled no\n"
                          "expect 1026 enabled no\nexpect 1034 enabled yes\nclose\n");
    EXPECT_EQ(o.exitCode, 0) << o.transcript;
    EXPECT_TRUE(o.has("table 4 5/2048 0/0 3/4096 0/0 0/0 0/0 0/0 0/0 0/0")) << o.transcript;
}

TEST_F(LunPanelTest, MarksAreDrawnBesideTheLabelsAndAgainFromTheStoredStates)
{
    create("r", "reader", {"lun0.size=1M", "lun2.size=2M"});
    const Outcome o = run("click 1050\nclose\n", {}, [](Host& h) {
        // A paint onto a fresh canvas draws what the rows hold.
        ui::Dialog canvas(hostTemplate());
        ui::Painter p(canvas);
        h.panel.repaintMarks(p);
        for (const ui::Mark& m : ui::detail::marks(canvas))
            ui::hooks::transcript("again " + (m.op == ui::Mark::Op::Text ? m.text : std::string("fill")) + " " +
                                  std::to_string(m.rect.top));
    });
    EXPECT_EQ(o.exitCode, 0) << o.transcript;
    // Row 0's label: right edge 92 dlu (138 px + frame 3), top 52 dlu (85 px).
    EXPECT_TRUE(o.has("paint \"Host\" text \"O\" #0000FF on #FFFFFF (336,89)-(366,111) \"Arial Black\" 20")) << o.transcript;
    EXPECT_TRUE(o.has("paint \"Host\" text \"X\" #FF0000 on #FFFFFF (336,110)-(366,132) \"Arial Black\" 20")) << o.transcript;
    EXPECT_TRUE(o.has("paint \"Host\" fill #F0F0F0 (336,131)-(366,153)")) << o.transcript;
    EXPECT_TRUE(o.has("again O 89")) << o.transcript;
    EXPECT_TRUE(o.has("again X 110")) << o.transcript;
    EXPECT_TRUE(o.has("again fill 131")) << o.transcript;
}

// Removal: rows cleared, start button off, the panel's list dropped while a
// holder keeps its own; an arrival that passes the walk re-probes 2 s later.
TEST_F(LunPanelTest, RemovalClearsTheRowsAndAnArrivalReprobesAfterTwoSeconds)
{
    create("r", "reader", {"lun0.size=1M", "lun2.size=2M"});
    const Outcome o = run("click 1050\nclick 1052\nunplug r\n"
                          "expect 1014 text \nexpect 1020 text \nexpect 1034 enabled no\n"
                          "plug r\nadvance 1999\nexpect 1034 enabled no\nadvance 1\n"
                          "expect 1034 enabled yes\nexpect 1014 text (D:) CF\nclose\n");
    EXPECT_EQ(o.exitCode, 0) << o.transcript;
    EXPECT_TRUE(o.has("settle ready")) << o.transcript;
    EXPECT_TRUE(o.has("held kept")) << "the holder's list outlived the removal\n" << o.transcript;
    EXPECT_TRUE(o.has("paint \"Host\" fill #F0F0F0 (336,89)-(366,111)")) << "the marks were cleared\n" << o.transcript;
}

TEST_F(LunPanelTest, ArrivalThatFailsTheWalkStartsNoTimer)
{
    create("r", "reader");
    Knobs k;
    k.walkFinds = false;
    const Outcome o = run("unplug r\nplug r\nadvance 5000\nexpect 1034 enabled no\nclose\n", k);
    EXPECT_EQ(o.exitCode, 0) << o.transcript;
    EXPECT_EQ(o.transcript.find("settle"), std::string::npos) << o.transcript;
}

TEST_F(LunPanelTest, SettleTimerLeavesAReadyPanelAloneAndWaitsForAConsistentDevice)
{
    create("r", "reader");
    create("s", "reader");
    // An arrival of another device while this one serves the panel.
    ASSERT_EQ(VelkSimUnplug("s"), 1);
    Outcome o = run("click 1052\nplug s\nadvance 2000\nexpect 1034 enabled yes\nclose\n");
    EXPECT_EQ(o.exitCode, 0) << o.transcript;
    EXPECT_TRUE(o.has("settle not ready")) << o.transcript;
    EXPECT_TRUE(o.has("held current")) << "the list was not replaced\n" << o.transcript;

    ASSERT_EQ(VelkSimFault("r", "lun-count 3"), 1);
    o = run("unplug r\nplug r\nadvance 2000\nexpect 1034 enabled no\nexpect 1014 text \nclose\n");
    EXPECT_EQ(o.exitCode, 0) << o.transcript;
    EXPECT_TRUE(o.has("settle not ready")) << o.transcript;
}

// The drive query fails: one row, LUN 0, "Unknow", with the letter of the
// last drive record the list returned, or a placeholder without one.
TEST_F(LunPanelTest, FailedDriveQueryGivesTheUnknownRow)
{
    create("r", "reader", {"lun0.size=1M"});
    ASSERT_EQ(VelkSimFault("r", "drive-info"), 1);
    Outcome o = run("expect 1014 text (?:) Unknow\nexpect 1017 text \nexpect 1020 text \nclose\n");
    EXPECT_EQ(o.exitCode, 0) << o.transcript;
    EXPECT_TRUE(o.has("table 1 8/2048 0/0 0/0 0/0 0/0 0/0 0/0 0/0 0/0")) << o.transcript;

    ASSERT_EQ(VelkSimFault("r", "clear"), 1);
    o = run("expect 1014 text (D:) CF\nclose\n", {}, [](Host& h) {
        VelkSimFault("r", "drive-info");
        h.panel.zeroTable();
        h.panel.refreshSectorCounts();
        h.panel.writeLabels();
        ui::hooks::transcript("label " + h.text(lunLabelId(0)));
    });
    EXPECT_TRUE(o.has("label (D:) Unknow")) << o.transcript;
}

// A device with nine LUNs: the table lists all nine, the rows show seven.
TEST_F(LunPanelTest, SevenRowsAtMost)
{
    create("big", "reader", {"luns=9", "lun0.size=1M", "lun2.size=1M", "lun6.present=1", "lun6.media=xd",
                             "lun6.size=1M", "lun7.present=1", "lun7.size=1M"});
    const Outcome o = run("expect 1032 text (J:) XD\nclose\n");
    EXPECT_EQ(o.exitCode, 0) << o.transcript;
    EXPECT_TRUE(o.has("table 9 5/2048 0/0 3/2048 0/0 0/0 0/0 7/2048 2/2048 0/0")) << o.transcript;
}

}  // namespace
}  // namespace console
