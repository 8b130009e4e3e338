// autostart.cpp - compiled into every program that links the OS services (an
// interface source of platform_os), so that each program's windows are in
// the window registry from its first dialog on, whether or not the program
// itself ever calls into the OS services.
#include "os_internal.h"

namespace {
const bool g_hooksInstalled = (os::detail::ensureHooks(), true);
}
