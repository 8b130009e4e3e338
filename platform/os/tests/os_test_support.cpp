#include "os_test_support.h"

#include "ui/dialog.h"
#include <velk_sim.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <vector>

namespace fs = std::filesystem;

namespace ostest {

TempDir::TempDir() {
    char tmpl[] = "/tmp/os-test-XXXXXX";
    if (::mkdtemp(tmpl)) path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
}

void BusTest::SetUp() {
    bus_ = std::make_unique<TempDir>();
    ASSERT_FALSE(bus_->path().empty());
    ASSERT_NE(VelkSimSetBusDir(bus_->path().c_str()), 0) << VelkSimLastError();
}

void BusTest::TearDown() { bus_.reset(); }

void BusTest::createDevice(const std::string& name, const std::string& profile,
                           std::initializer_list<const char*> settings) {
    std::vector<const char*> list(settings);
    list.push_back(nullptr);
    ASSERT_NE(VelkSimCreate(name.c_str(), profile.c_str(), list.data()), 0) << VelkSimLastError();
}

int runScript(const std::string& script, const std::function<void()>& body, std::string* transcript) {
    TempDir dir;
    fs::path file = dir.path() / "script.txt";
    writeFile(file, script);
    std::string path = file.string();
    char arg0[] = "ostest", arg1[] = "--script";
    char* argv[] = {arg0, arg1, path.data(), nullptr};
    testing::internal::CaptureStdout();
    int code = ui::runProgram(3, argv, {"ostest", "ostest"}, body);
    std::string out = testing::internal::GetCapturedStdout();
    if (transcript) *transcript = out;
    return code;
}

void writeFile(const fs::path& p, const std::string& data, bool executable) {
    std::ofstream(p, std::ios::binary | std::ios::trunc) << data;
    if (executable) ::chmod(p.c_str(), 0755);
}

std::string readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace ostest
