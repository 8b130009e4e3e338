#include "progress_follower.h"

#include <atomic>

namespace writer {

void followProgress(uint8_t* byte, ui::ManualResetEvent& transferReturned, const std::function<void(int)>& setPos) {
    int shown = 0;
    for (;;) {
        const int p = std::atomic_ref<uint8_t>(*byte).load(std::memory_order_acquire);
        if (p > 0 && p != shown) {
            setPos(p);
            shown = p;
        }
        if (p >= 100 || transferReturned.isSet()) return;
        transferReturned.wait(kProgressPollMs);
    }
}

}  // namespace writer
