// Where a series lives: the thread its owner runs it on (the window's, or the console's loop),
// reached from the workers by posting, and the wakes of its ticks when it keeps its own beat.
#pragma once

#include <cstdint>
#include <functional>

#include "capture/series/seriesschedule.h"

namespace tessaly {

class TSeriesHost {
 public:
  using TTime = TSeriesClock::TTime;
  virtual ~TSeriesHost() = default;

  // Queues fn for the host's thread and returns at once; callable from any thread.
  virtual void Post(std::function<void()> fn) = 0;
  // Host thread: wake runs at when (or as soon as the thread is free after it). A later call
  // with the same key replaces the earlier one; key 0 is not a key.
  virtual void WakeAt(uint64_t key, TTime when, std::function<void()> wake) = 0;
  // Host thread: forgets key's wake.
  virtual void CancelWake(uint64_t key) = 0;
};

// A key for WakeAt that no series or other owner has: each series takes its own, and so may
// whoever keeps a wake of its own beside them on the same host.
uint64_t NewWakeKey();

}  // namespace tessaly
