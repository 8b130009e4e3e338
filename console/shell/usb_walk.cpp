#include "usb_walk.h"

#include <string>
#include <vector>

#include "platform/os/os.h"

namespace console {

namespace {

// The hardware-ID property is read into a zeroed buffer of this size; a
// multi-string that does not fit (each string with its terminator, plus the
// final empty string) makes the read fail and the device is skipped.
constexpr size_t kHardwareIdBufferBytes = 128;

bool hardwareIdsReadable(const os::DeviceInfoSet& set, os::DevInst dev)
{
    const auto ids = set.hardwareIds(dev);
    if (!ids)
        return false;
    size_t bytes = 1;
    for (const std::string& id : *ids)
        bytes += id.size() + 1;
    return bytes <= kHardwareIdBufferBytes;
}

}  // namespace

bool UsbChildWalk()
{
    for (const os::Guid& guid : os::classGuidsFromName("usb", 8)) {
        const os::DeviceInfoSet set = os::DeviceInfoSet::classDevices(guid, true);
        for (size_t index = 0;; ++index) {
            const auto dev = set.device(index);
            if (!dev)
                break;
            if (!hardwareIdsReadable(set, *dev))
                continue;
            const auto child = os::firstChild(*dev);
            if (child && os::firstChild(*child))
                return true;
        }
    }
    return false;
}

}  // namespace console
