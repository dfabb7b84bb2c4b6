#include "capture/series/seriesloop.h"

#include <optional>

namespace tessaly {

void TSeriesLoop::Post(std::function<void()> fn) {
  // Notified under the lock: a worker's last post (its job's end) may be what lets the loop
  // end and be destroyed, which must not happen while this call still touches it.
  std::lock_guard lock(mutex_);
  posted_.push_back(std::move(fn));
  posted_cv_.notify_one();
}

void TSeriesLoop::WakeAt(uint64_t key, TTime when, std::function<void()> wake) {
  if (key == 0) return;
  if (entries_.size() <= key) entries_.resize(key + 1);
  entries_[key] = TWakeEntry{++generation_, std::move(wake)};
  wakes_.push(TWake{when, key, generation_});
}

void TSeriesLoop::CancelWake(uint64_t key) {
  if (key < entries_.size()) entries_[key] = TWakeEntry{};
}

void TSeriesLoop::SetHeartbeat(std::chrono::milliseconds period, std::function<void()> beat) {
  beat_period_ = period;
  beat_ = std::move(beat);
}

void TSeriesLoop::RunPending() {
  for (;;) {
    std::function<void()> fn;
    {
      std::lock_guard lock(mutex_);
      if (posted_.empty()) return;
      fn = std::move(posted_.front());
      posted_.pop_front();
    }
    fn();
  }
}

void TSeriesLoop::Run(const std::function<bool()>& done, const std::function<void()>& after_each) {
  const bool beating = beat_period_.count() > 0 && beat_;
  TTime next_beat = std::chrono::steady_clock::now();
  auto live = [this](const TWake& wake) {
    return wake.Key < entries_.size() && entries_[wake.Key].Generation == wake.Generation;
  };
  while (!done()) {
    // Stale heap entries (replaced or cancelled wakes) go first, so the top is a live one.
    while (!wakes_.empty() && !live(wakes_.top())) wakes_.pop();
    std::deque<std::function<void()>> calls;
    {
      std::unique_lock lock(mutex_);
      std::optional<TTime> until;
      if (!wakes_.empty()) until = wakes_.top().When;
      if (beating) until = until ? std::min(*until, next_beat) : next_beat;
      auto ready = [&] {
        return !posted_.empty() || (until && std::chrono::steady_clock::now() >= *until);
      };
      if (until)
        posted_cv_.wait_until(lock, *until, ready);
      else
        posted_cv_.wait(lock, ready);
      calls.swap(posted_);
    }
    TTime now = std::chrono::steady_clock::now();
    if (beating && now >= next_beat) {
      next_beat = now + beat_period_;
      beat_();
    }
    // Every call that has come, then every wake that is due: a flood of reports from many
    // workers cannot hold back a tick.
    for (auto& fn : calls) {
      fn();
      if (after_each) after_each();
    }
    now = std::chrono::steady_clock::now();
    while (!wakes_.empty() && (!live(wakes_.top()) || wakes_.top().When <= now)) {
      const TWake wake = wakes_.top();
      wakes_.pop();
      if (!live(wake)) continue;
      std::function<void()> wake_fn = std::move(entries_[wake.Key].Fn);
      entries_[wake.Key] = TWakeEntry{};
      if (wake_fn) wake_fn();
      if (after_each) after_each();
    }
  }
}

}  // namespace tessaly
