// progress_follower.h - the thread that moves a progress bar from the
// progress byte the device library advances inside a firmware transfer.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/ui/dialog.h"

namespace writer {

// How long the follower pauses between two looks at the byte (program
// clock). The byte moves in whole percents over seconds, so a few
// milliseconds lose nothing on the bar and keep the thread almost idle.
constexpr int64_t kProgressPollMs = 5;

// Follows `*byte` (read atomically; the library stores it the same way):
// each value above 0 goes to `setPos`. Ends when the byte reaches 100 or
// when `transferReturned` is set, whichever comes first, so a transfer that
// fails half way (the byte stays below 100) never leaves it running. The
// pause between two looks is a wait on `transferReturned`, which ends at
// once when the transfer returns.
void followProgress(uint8_t* byte, ui::ManualResetEvent& transferReturned, const std::function<void(int)>& setPos);

}  // namespace writer
