/* velk_sim.h - control of the simulated USB bus behind the device library.
 *
 * The device library drives simulated devices kept in a bus directory
 * ($VELK_SIM_DIR, else $XDG_STATE_HOME/velk-sim, else ~/.local/state/velk-sim).
 * This header is what the velk-sim command, the tests and the platform layer
 * (device-change events, the USB tree, the virtual clock) use to set the bus up
 * and to watch it. Programs of the tool set never include it.
 *
 * Every function is safe to call from any thread and from several processes at
 * once. Functions returning int return nonzero on success and 0 on failure
 * unless stated otherwise; on failure VelkSimLastError() describes why.
 */
#ifndef VELK_SIM_H
#define VELK_SIM_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- bus directory ---------------------------------------------------- */

/* The bus directory in use (resolved from the environment on first use, or
 * set by VelkSimSetBusDir). The string stays valid until the next call of
 * VelkSimSetBusDir. */
const char *VelkSimBusDir(void);

/* Switches this process to another bus directory (tests: one per test).
 * Handles of device lists created before keep working on their old devices
 * until destroyed. Returns 0 if the directory cannot be created. */
int VelkSimSetBusDir(const char *dir);

/* One line describing the last failure of a VelkSim* call on this thread. */
const char *VelkSimLastError(void);

/* ---- clock -------------------------------------------------------------- */

/* The simulator's clock: timed re-attachment (after an external ROM erase or a
 * safe removal with an auto-replug delay) and the delays of realistic timing.
 * By default the real monotonic clock in milliseconds and a real sleep. The
 * platform layer installs its virtual clock here in scripted runs, so that
 * timed bus changes and realistic delays cost no real time. Passing NULL
 * functions restores the default. */
typedef int64_t (*VelkSimNowFn)(void *ctx);
typedef void (*VelkSimSleepFn)(void *ctx, int64_t ms);
void VelkSimSetClock(VelkSimNowFn now, VelkSimSleepFn sleep, void *ctx);
int64_t VelkSimNow(void);

/* ---- the devices on the bus ------------------------------------------- */

typedef struct VelkSimDeviceInfo {
    char name[64];         /* device name given at creation */
    char profile[32];      /* profile it was made from */
    char instance[64];     /* USB instance ID, e.g. "5&1A2B3C4D&0&1" */
    uint16_t vid, pid, rev;
    uint8_t deviceClass;   /* DeviceClass byte of the drive information */
    uint8_t lunCount;
    int attached;          /* 1 when on the bus now (time-scheduled changes applied) */
    int plugged;           /* 1 unless unplugged by velk-sim / the tests */
    int damaged;           /* 1 when the device's folder is not a whole device (a store
                            * missing or of the wrong size, a config that does not
                            * parse, a state record or lock that is not valid): it is
                            * never attached, the device library does not list it,
                            * and VelkSimRemove deletes it */
    char problem[192];     /* what is damaged, one line; "" when whole */
} VelkSimDeviceInfo;

/* Lists every device of the bus, attached or not, damaged or not, sorted by
 * name. Writes at most max entries and returns the number of devices (which
 * may exceed max); -1 on failure. */
int VelkSimListDevices(VelkSimDeviceInfo *out, int max);

/* Sequence number of the bus: it changes on every attach and detach and on
 * every device creation and removal. Cheap (no system call once the bus is
 * open); time-scheduled changes are counted once they fall due on this
 * process's clock. */
uint64_t VelkSimBusSequence(void);

/* A file descriptor that becomes readable (inotify) whenever another process
 * may have changed the bus; the platform layer waits on it instead of
 * polling. Drain it with VelkSimDrainWatch. -1 if not available. */
int VelkSimBusWatchFd(void);
void VelkSimDrainWatch(void);

/* Time (VelkSimNow clock, ms) of the next scheduled attach or detach, or -1
 * when nothing is scheduled. */
int64_t VelkSimNextScheduledChange(void);

/* ---- set-up (velk-sim and tests) ---------------------------------------- */

/* Creates device NAME from PROFILE; settings is NULL or a NULL-terminated
 * array of "KEY=VALUE" strings overriding profile values, in any order (what
 * depends on several of them is checked once all are applied). The device
 * starts attached; its first attach records it in the registry. A failure
 * (bad settings, no room on the file system) leaves nothing behind. */
int VelkSimCreate(const char *name, const char *profile, const char *const *settings);
/* Deletes the device and its stores, a damaged one too; open handles on it
 * fail from then on. */
int VelkSimRemove(const char *name);
int VelkSimPlug(const char *name);
int VelkSimUnplug(const char *name);
int VelkSimSetMedia(const char *name, int lun, int present);
int VelkSimSetWriteProtect(const char *name, int on);
int VelkSimPressButton(const char *name);

/* Faults: one command in the grammar of `velk-sim fault` (see velk-sim
 * --help), e.g. "bad-block 0 17", "lba-read 2 100", "clear". */
int VelkSimFault(const char *name, const char *command);

/* Human-readable description of a device (velk-sim show), written into buf;
 * returns the length it needs. */
size_t VelkSimDescribe(const char *name, char *buf, size_t size);

/* Names of the built-in profiles, NULL-terminated. */
const char *const *VelkSimProfiles(void);

#ifdef __cplusplus
}
#endif
#endif
