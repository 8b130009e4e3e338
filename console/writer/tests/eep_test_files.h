// Sample EEP files shared by the writer's tests.
#pragma once

#include <string>
#include <vector>

namespace eep_test {

inline std::string joinLines(const std::vector<std::string>& lines) {
    std::string s;
    for (const auto& l : lines) s += l + "\n";
    return s;
}

// A card-reader file: data lines 0-9, five string sections, filler data lines
// and the checksum word 3Fh (64 words in all).
inline std::string readerFile(const std::string& serialLine = "\"000123\"") {
    std::vector<std::string> l = {
        "# Card reader setup", "[CheckSumIndex]", "003F", "[START]",
        "0C45    # VID", "6366", "0001", "0201", "0000", "0000", "2050", "0000", "0000", "0012",
        "[V-STR]", "\"ABC\" # vendor", "[P-STR]", "\"Card Reader\"", "[S-STR]", serialLine,
        "[I-STR]", "\"Intf\"", "[Card-STR]", "\"CF,SD\""};
    for (int k = 44; k <= 63; ++k) l.push_back("0000");
    l.push_back("[END]");
    l.push_back("anything after the end");
    return joinLines(l);
}

// A file with a checksum index and the given body lines.
inline std::string bodyFile(const std::vector<std::string>& body, const std::string& index = "003F") {
    std::vector<std::string> l = {"[CheckSumIndex]", index, "[START]"};
    l.insert(l.end(), body.begin(), body.end());
    l.push_back("[END]");
    return joinLines(l);
}

}  // namespace eep_test
