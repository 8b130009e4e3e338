// temp_bus.h - a fresh simulated bus per test, in a temporary folder.
#pragma once

#include "tests/support/temp_dir.h"

#include <velk_sim.h>

namespace testsupport {

// A temporary folder whose "bus" subfolder is this process's simulated bus
// while it lives.
class TempBus : public TempDir {
public:
    TempBus() {
        if (!ok()) return;
        bus_ = file("bus");
        std::filesystem::create_directories(bus_);
        busSet_ = VelkSimSetBusDir(bus_.c_str()) != 0;
    }
    // False when the folder or the bus could not be set up (VelkSimLastError says why).
    bool busOk() const { return busSet_; }
    const std::string& bus() const { return bus_; }

private:
    std::string bus_;
    bool busSet_ = false;
};

}  // namespace testsupport
