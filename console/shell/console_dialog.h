// console_dialog.h - the console dialog of Tavrin: one command button per
// job, the device probe, and the following of device arrivals and removals.
#pragma once

#include <optional>
#include <string>

#include "platform/os/os.h"
#include "platform/ui/dialog.h"
#include "velk/include/velk.h"

namespace console {

class ConsoleDialog : public ui::Dialog {
public:
    ConsoleDialog();
    ~ConsoleDialog() override;

    // The settle timer: started 2000 ms after the last qualifying arrival.
    static constexpr int kSettleTimer = 1;
    static constexpr unsigned kSettleMs = 2000;

    // The four buttons that need a device, enabled and disabled together.
    static const int kDeviceButtons[4];

    // Built once at start-up (empty until then, and for good when the
    // device-notification registration failed).
    const std::optional<std::string>& setupPath() const { return setupPath_; }
    const std::optional<std::string>& readMePath() const { return readMePath_; }

    bool onInitDialog() override;
    void onCommand(int id) override;
    void onTimer(int id) override;
    int onDeviceChange(unsigned event) override;
    void onSysCommand(int cmd) override;
    void onDestroy() override;

protected:
    // The dialogs the device buttons open. Each creates its own device list
    // while it runs; until they exist the buttons open nothing.
    virtual void runWriterDialog();
    virtual void runReadWriteTestDialog();
    virtual void runFormatDialog();
    virtual void runToolPanelDialog();
    virtual void runAboutBox();

    // The platform services behind the console's decisions, replaceable so
    // that each decision can be checked on its own.
    virtual std::optional<os::FileVersion> programVersion() const;
    virtual bool usbChildWalk() const;
    // VelkCreateDeviceList(0, 0, 1): the console's device probe.
    virtual VelkHandle createProbeList();

private:
    bool registerForDeviceChanges();
    void putVersionIntoTitle();
    void probe();
    void enableDeviceButtons(bool on);
    void dropProbeList();

    VelkHandle probeList_ = nullptr;
    std::optional<std::string> setupPath_;
    std::optional<std::string> readMePath_;
};

}  // namespace console
