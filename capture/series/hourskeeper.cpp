#include "capture/series/hourskeeper.h"

#include <time.h>

#include <algorithm>

namespace tessaly {

std::chrono::system_clock::time_point CoarseWallNow() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME_COARSE, &now);
  return std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(
          std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec)));
}

THoursKeeper::THoursKeeper(TActiveHours hours, TEvents events, const TSeriesClock& steady,
                           TWallClock wall)
    : hours_(std::move(hours)),
      events_(std::move(events)),
      steady_(steady),
      wall_(std::move(wall)) {}

std::time_t THoursKeeper::WallNow() const {
  return std::chrono::system_clock::to_time_t(std::chrono::floor<std::chrono::seconds>(wall_()));
}

void THoursKeeper::Update() {
  const std::time_t now = WallNow();
  const TActiveState state = ActiveStateAt(hours_, now);
  if (state.Open) {
    Arm(state.Change);
    if (paused_) {
      paused_ = false;
      events_.Opened();
    }
    return;
  }
  // No opening within the look-ahead: look again when it has passed.
  const std::time_t until = state.Change.value_or(now + kActiveLookAhead);
  Arm(until);
  if (!paused_) {
    paused_ = true;
    events_.Paused(now, until);
  }
}

bool THoursKeeper::Open() {
  if (!paused_ && change_at_ && WallNow() >= *change_at_) Update();
  return !paused_;
}

void THoursKeeper::Arm(std::optional<std::time_t> when) {
  change_at_ = when;
  if (!when) {
    events_.WakeAt(std::nullopt);
    return;
  }
  // The changes are instants of the calendar, the loop waits on the steady clock: the distance
  // is taken now, and a clock set in between makes the owner call Update.
  const auto left = std::chrono::system_clock::from_time_t(*when) - wall_();
  events_.WakeAt(steady_.Now() +
                 std::max(std::chrono::duration_cast<std::chrono::nanoseconds>(left),
                          std::chrono::nanoseconds(0)));
}

}  // namespace tessaly
