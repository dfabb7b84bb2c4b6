// Keeps a series inside its active hours: decides when it pauses and when a period opens again.
// It owns no thread: its owner wakes it at the steady instant it asks for (on the series loop)
// and whenever the wall clock is set, and every change is checked against the wall clock.
#pragma once

#include <chrono>
#include <ctime>
#include <functional>
#include <optional>

#include "capture/hours/activehours.h"
#include "capture/series/seriesschedule.h"

namespace tessaly {

// The calendar's clock; tests give one of their own.
using TWallClock = std::function<std::chrono::system_clock::time_point()>;
// The wall clock as time() reads it (its coarse form), so that a change is never taken while
// the time stamps printed with it still read the second before.
std::chrono::system_clock::time_point CoarseWallNow();

class THoursKeeper {
 public:
  struct TEvents {
    // The series has just paused, at now, until the instant until.
    std::function<void(std::time_t now, std::time_t until)> Paused;
    // A period has opened after a pause.
    std::function<void()> Opened;
    // Wake is to be called at this instant of steady (none: no wake is needed).
    std::function<void(std::optional<TSeriesClock::TTime>)> WakeAt;
  };

  THoursKeeper(TActiveHours hours, TEvents events, const TSeriesClock& steady = SteadySeriesClock(),
               TWallClock wall = CoarseWallNow);

  // At start, at the wake asked for and whenever the wall clock has been set: reads the wall
  // clock, pauses or opens as the hours say, and asks for the next wake. Every change is read
  // from the wall clock, so a steady wake that comes early (the clock was set back since it was
  // asked for) changes nothing and asks for the rest.
  void Update();
  // False while paused; a closing that is already due is taken first (and reported).
  bool Open();
  bool Paused() const { return paused_; }

 private:
  std::time_t WallNow() const;
  void Arm(std::optional<std::time_t> when);

  const TActiveHours hours_;
  const TEvents events_;
  const TSeriesClock& steady_;
  const TWallClock wall_;
  bool paused_ = false;
  // The second of the next change the keeper waits for.
  std::optional<std::time_t> change_at_;
};

}  // namespace tessaly
