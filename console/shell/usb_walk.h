// usb_walk.h - the walk over the USB device tree that decides whether a
// device-change arrival is worth re-probing the device library for.
#pragma once

namespace console {

// Walks the present devices of every setup class named "usb" (at most 8
// classes) and reports whether any of them has a first child that has a
// child of its own: a host controller whose root hub has a device attached,
// or a hub or device with a function below it. It looks at all present
// devices, not only at the one that arrived. Devices whose hardware-ID
// property cannot be read into the platform's 128-byte buffer are skipped;
// the hardware IDs themselves are not compared with anything.
//
// Used by every console dialog that follows arrivals (the console, the
// format and test dialogs through their LUN panel, the writer).
bool UsbChildWalk();

}  // namespace console
