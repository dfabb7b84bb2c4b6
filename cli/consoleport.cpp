#include "cli/consoleport.h"

#include <algorithm>

namespace tessaly {

Text TConsolePort::KeepDigits(const Text& text) {
  Text digits;
  for (char c : text)
    if (c >= '0' && c <= '9') digits += c;
  return digits;
}

bool TConsolePort::StartTimer(int32_t) {
  timer_on_ = true;
  next_tick_ = TClock::now() + std::chrono::milliseconds(tick_ms_);
  return true;
}

void TConsolePort::PostToWindowThread(std::function<void()> fn) {
  {
    std::lock_guard lock(mutex_);
    posted_.push_back(std::move(fn));
  }
  posted_cv_.notify_one();
}

void TConsolePort::RunPending() {
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

void TConsolePort::Run(const std::function<void()>& on_tick,
                       const std::function<void()>& after_each, const std::function<bool()>& done) {
  const bool beating = beat_period_.count() > 0 && beat_;
  TClock::time_point next_beat = TClock::now();
  while (!done()) {
    std::function<void()> fn;
    {
      std::unique_lock lock(mutex_);
      const bool timed = timer_on_ && tick_ms_ > 0;
      auto ready = [&] {
        const auto now = TClock::now();
        return !posted_.empty() || (timed && now >= next_tick_) || (beating && now >= next_beat);
      };
      if (timed || beating)
        posted_cv_.wait_until(lock,
                              !beating ? next_tick_
                              : timed  ? std::min(next_tick_, next_beat)
                                       : next_beat,
                              ready);
      else
        posted_cv_.wait(lock, ready);
      if (!posted_.empty()) {
        fn = std::move(posted_.front());
        posted_.pop_front();
      }
    }
    if (beating && TClock::now() >= next_beat) {
      next_beat = TClock::now() + beat_period_;
      beat_();
    }
    if (fn) {
      fn();
    } else if (timer_on_ && tick_ms_ > 0 && TClock::now() >= next_tick_) {
      // Ticks keep their beat from Start; those that fell in a job are dropped, not made up.
      const auto step = std::chrono::milliseconds(tick_ms_);
      while (next_tick_ <= TClock::now()) next_tick_ += step;
      on_tick();
    }
    after_each();
  }
}

}  // namespace tessaly
