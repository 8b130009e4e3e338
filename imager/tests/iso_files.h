// iso_files.h - disc images for the tests: real ISO 9660 volumes made by
// xorriso from a folder of patterned files, and the variants the image
// programmer must cope with (an .nrg-style file with the volume further in,
// no "CD001", a volume size of 0).
#pragma once

#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace imager::testing {

using testsupport::readFile;
using testsupport::TempDir;

// Bytes that are neither 00h nor FFh and differ from sector to sector.
inline std::string patterned(size_t n, uint32_t seed) {
    std::string s(n, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        s[i] = char(0x20 + x % 0xC0);
    }
    return s;
}

inline void writeFile(const std::string& path, const std::string& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    std::fclose(f);
}

// Makes `name` in dir: an ISO 9660 image made by xorriso from a folder with
// two files of payloadBytes in all. Fails the test when xorriso is missing
// (scripts/install-deps.sh installs it) or fails.
inline std::string makeIso(const TempDir& dir, const std::string& name, size_t payloadBytes, uint32_t seed) {
    const std::string tree = dir.file(name + ".tree");
    std::filesystem::create_directories(tree + "/AUTORUN");
    writeFile(tree + "/AUTORUN.INF", "[autorun]\r\nopen=AUTORUN\\SETUP.EXE\r\n");
    writeFile(tree + "/AUTORUN/SETUP.EXE", patterned(payloadBytes, seed));
    const std::string iso = dir.file(name);
    const std::string out = dir.file(name + ".xorriso.log");
    const std::string cmd = "xorriso -as mkisofs -V TAVRIN_TEST -J -R -o '" + iso + "' '" + tree + "' >'" + out +
                            "' 2>&1";
    const int rc = std::system(cmd.c_str());
    EXPECT_EQ(rc, 0) << "xorriso failed (is it installed? scripts/install-deps.sh installs it):\n" << readFile(out);
    return iso;
}

// The volume 307200 bytes (150 sectors of lead-in) into the file, as an
// image file of the .nrg kind holds it, with a chunk footer after it.
inline constexpr size_t kNrgOffset = 307200;
inline std::string makeNrg(const TempDir& dir, const std::string& name, const std::string& iso) {
    std::string bytes = patterned(kNrgOffset, 77) + readFile(iso);
    const uint64_t chunks = bytes.size();
    bytes += std::string("END!\0\0\0\0", 8);
    bytes += "NER5";
    for (int i = 7; i >= 0; --i) bytes += char(chunks >> (8 * i));
    const std::string path = dir.file(name);
    writeFile(path, bytes);
    return path;
}

// A copy of the image whose volume space size (byte 80 of sector 16) is n.
inline std::string withVolumeSize(const TempDir& dir, const std::string& name, const std::string& iso, uint32_t n) {
    std::string bytes = readFile(iso);
    for (int i = 0; i < 4; ++i) bytes[32768 + 80 + i] = char(n >> (8 * i));
    const std::string path = dir.file(name);
    writeFile(path, bytes);
    return path;
}

inline uint32_t isoSectors(const std::string& iso) {
    return uint32_t(std::filesystem::file_size(iso) / 2048);
}

}  // namespace imager::testing
