// firmware_test_support.h - the writer's firmware and ROM side on the
// simulated bus: image files, the simulated ROM read back, whether a device
// is still on the bus (after a safe removal it is not).
#pragma once

#include <vector>

#include "writer_test_support.h"

namespace writer_test {

// A firmware or ROM image: a pattern that differs from anything the
// simulator puts into a ROM, with `seed` to tell two images apart.
inline std::vector<uint8_t> pattern(size_t size, uint8_t seed = 1) {
    std::vector<uint8_t> v(size);
    for (size_t i = 0; i < size; ++i) v[i] = static_cast<uint8_t>((i * 7 + seed) & 0x7F);
    return v;
}

inline std::string bytesOf(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

class FirmwareTest : public WriterTest {
protected:
    void writeImage(const std::string& name, const std::vector<uint8_t>& bytes) { write(name, bytesOf(bytes)); }

    // The device's whole ROM (`size` bytes from 0), read with its faults
    // cleared and the device plugged for the read; it is put back as it was.
    std::vector<uint8_t> rom(const std::string& device, size_t size) {
        fault(device, "clear");
        const bool was = attached(device);
        if (!was) VelkSimPlug(device.c_str());
        std::vector<uint8_t> bytes(size, 0xEE);
        if (VelkHandle h = VelkCreateDeviceList(0, 0, 1)) {
            EXPECT_EQ(VelkReadExternalROM(h, 0, 0, static_cast<uint32_t>(size), bytes.data()), 1);
            VelkDestroyDeviceList(h);
        } else {
            ADD_FAILURE() << "device " << device << " not found";
        }
        if (!was) VelkSimUnplug(device.c_str());
        return bytes;
    }

    // On the bus now (a safe removal takes it off until it is plugged again).
    bool attached(const std::string& device) {
        std::vector<VelkSimDeviceInfo> all(64);
        const int n = VelkSimListDevices(all.data(), static_cast<int>(all.size()));
        for (int i = 0; i < n; ++i)
            if (device == all[static_cast<size_t>(i)].name) return all[static_cast<size_t>(i)].attached != 0;
        return false;
    }

    std::string loadFirmware(const std::string& name) { return "file " + path(name) + "\nclick \"Load FW obj file\"\n"; }
};

// The 64 words of an EEP copy held in a ROM at `offset`.
inline Words wordsAt(const std::vector<uint8_t>& rom, size_t offset) {
    Words w{};
    for (size_t i = 0; i < 64; ++i) w[i] = static_cast<uint16_t>(rom[offset + 2 * i] | (rom[offset + 2 * i + 1] << 8));
    return w;
}

inline bool allErased(const std::vector<uint8_t>& v, size_t from = 0, size_t to = SIZE_MAX) {
    for (size_t i = from; i < std::min(to, v.size()); ++i)
        if (v[i] != 0xFF) return false;
    return true;
}

const std::string kFailMarkText = "text \"FAIL\" #FF0000 on none";
const std::string kOkMarkText = "text \" OK\" #009628 on none";
const std::string kNotFinishBox =
    "box \"Info\" none OK \"Programming not finish !  Device will be SafeRemoved. \" -> OK";
const std::string kFirmwareValidateBox =
    "box \"Info\" none OK \"You must replug-in device for new firmware validate.\" -> OK";

inline std::string mismatchBox(unsigned index) {
    return "box \"The first dismatch address :\" none OK \"" + std::to_string(index) + " \" -> OK";
}

}  // namespace writer_test
