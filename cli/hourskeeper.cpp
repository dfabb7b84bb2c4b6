#include "cli/hourskeeper.h"

#include <chrono>

namespace tessaly {

THoursKeeper::THoursKeeper(TConsolePort& port, TActiveHours hours, TEvents events)
    : port_(port), hours_(std::move(hours)), events_(std::move(events)) {
  waker_ = std::thread([this] { WakeLoop(); });
}

THoursKeeper::~THoursKeeper() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_cv_.notify_one();
  waker_.join();
}

void THoursKeeper::Update() {
  const std::time_t now = std::time(nullptr);
  const TActiveState state = ActiveStateAt(hours_, now);
  if (state.Open) {
    close_at_ = state.Change;
    WakeAt(state.Change);
    if (paused_) {
      paused_ = false;
      events_.Opened();
    }
    return;
  }
  // No opening within the look-ahead: look again when it has passed.
  const std::time_t until = state.Change.value_or(now + kActiveLookAhead);
  close_at_.reset();
  WakeAt(until);
  if (!paused_) {
    paused_ = true;
    events_.Paused(now, until);
  }
}

bool THoursKeeper::Open() {
  if (!paused_ && close_at_ && std::time(nullptr) >= *close_at_) Update();
  return !paused_;
}

void THoursKeeper::WakeAt(std::optional<std::time_t> when) {
  {
    std::lock_guard lock(mutex_);
    wake_at_ = when;
  }
  wake_cv_.notify_one();
}

void THoursKeeper::WakeLoop() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    if (!wake_at_) {
      wake_cv_.wait(lock);
      continue;
    }
    // The wall clock, not a steady one: the changes are instants of the calendar, and a clock
    // set right while the series sleeps must move the wake with it.
    const auto deadline = std::chrono::system_clock::from_time_t(*wake_at_);
    if (std::chrono::system_clock::now() < deadline) {
      wake_cv_.wait_until(lock, deadline);
      continue;
    }
    wake_at_.reset();
    port_.PostToWindowThread([this, alive = std::weak_ptr<int>(alive_)] {
      if (alive.lock()) Update();
    });
  }
}

}  // namespace tessaly
