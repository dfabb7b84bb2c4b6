// Notices when the wall clock is set (by hand, by a time service, at the resume from a
// suspend): one thread for the whole process, waiting on a timer of the calendar's clock armed
// far ahead, which the system cancels at each setting.
#pragma once

#include <cstdint>
#include <functional>

#include "capture/series/serieshost.h"

namespace tessaly {

// Host thread: from now on set runs on host's thread (posted there) after each setting of the
// wall clock. The first call starts the watching thread. Answers the key to forget it by.
uint64_t WatchClockSet(TSeriesHost& host, std::function<void()> set);
// Host thread: that set runs no more, not even from a post already queued. 0 is no key.
void ForgetClockSet(uint64_t key);

}  // namespace tessaly
