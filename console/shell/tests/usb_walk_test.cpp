#include "console/shell/usb_walk.h"
#include "tests/support/temp_bus.h"

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
    void SetUp() override { ASSERT_TRUE(bus_.busOk()) << VelkSimLastError(); }
    testsupport::TempBus bus_;
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
