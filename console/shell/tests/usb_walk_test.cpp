#include "console/shell/usb_walk.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "velk_sim.h"

namespace console {
namespace {

// A bus directory of its own for every test.
class UsbChildWalkTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/usbwalk.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        ASSERT_NE(VelkSimSetBusDir(dir_.c_str()), 0) << VelkSimLastError();
    }
    void TearDown() override
    {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    std::string dir_;
};

TEST_F(UsbChildWalkTest, FindsATreeWithAnAttachedDeviceOnly)
{
    // Empty bus: host controllers and root hubs have nothing below them.
    EXPECT_FALSE(UsbChildWalk());

    ASSERT_NE(VelkSimCreate("disk", "flashdisk", nullptr), 0) << VelkSimLastError();
    EXPECT_TRUE(UsbChildWalk());

    ASSERT_NE(VelkSimUnplug("disk"), 0);
    EXPECT_FALSE(UsbChildWalk()) << "an unplugged device is not present";

    ASSERT_NE(VelkSimPlug("disk"), 0);
    EXPECT_TRUE(UsbChildWalk());
}

TEST_F(UsbChildWalkTest, AnyPresentDeviceCountsNotOnlyTheOneThatArrived)
{
    ASSERT_NE(VelkSimCreate("reader", "reader", nullptr), 0) << VelkSimLastError();
    ASSERT_NE(VelkSimCreate("disk", "flashdisk", nullptr), 0) << VelkSimLastError();
    ASSERT_NE(VelkSimUnplug("disk"), 0);
    EXPECT_TRUE(UsbChildWalk());
    ASSERT_NE(VelkSimRemove("reader"), 0);
    EXPECT_FALSE(UsbChildWalk());
}

}  // namespace
}  // namespace console
