// The one thread that drives any number of series without a window: calls posted from any
// thread, each series woken at its next tick (one heap of instants on one clock), and a
// heartbeat. A slow camera holds only its own worker, never this loop.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <queue>
#include <vector>

#include "capture/series/serieshost.h"
#include "capture/series/seriesschedule.h"

namespace tessaly {

class TSeriesLoop final : public TSeriesHost {
 public:
  void Post(std::function<void()> fn) override;
  void WakeAt(uint64_t key, TTime when, std::function<void()> wake) override;
  void CancelWake(uint64_t key) override;
  // Run beat at the start and then at least once per period; a zero period never.
  void SetHeartbeat(std::chrono::milliseconds period, std::function<void()> beat);

  // Runs posted calls, wakes and beats on the calling thread until done() answers true after
  // one of them. after_each runs after every call and wake.
  void Run(const std::function<bool()>& done, const std::function<void()>& after_each = {});
  // Runs what has been posted so far, without waiting.
  void RunPending();

 private:
  struct TWake {
    TTime When;
    uint64_t Key;
    uint64_t Generation;
    bool operator>(const TWake& other) const { return When > other.When; }
  };
  struct TWakeEntry {
    uint64_t Generation = 0;
    std::function<void()> Fn;
  };

  std::mutex mutex_;
  std::condition_variable posted_cv_;
  std::deque<std::function<void()>> posted_;
  std::priority_queue<TWake, std::vector<TWake>, std::greater<TWake>> wakes_;
  // By key: the wake that counts (older heap entries of the key are stale).
  std::vector<TWakeEntry> entries_;
  uint64_t generation_ = 0;
  std::chrono::milliseconds beat_period_{0};
  std::function<void()> beat_;
};

}  // namespace tessaly
