// When a series fetches, shared by the window and the console: the first job at Start, then one
// at each tick; a tick that falls while a job runs is dropped, never made up, and never do two
// jobs run at once. Pure bookkeeping on instants a clock gives; nothing here waits.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace tessaly {

// The clock a schedule is read against; tests give one of their own.
class TSeriesClock {
 public:
  using TTime = std::chrono::steady_clock::time_point;
  virtual ~TSeriesClock() = default;
  virtual TTime Now() const = 0;
};

// The monotonic clock of the system.
const TSeriesClock& SteadySeriesClock();

class TSeriesSchedule {
 public:
  using TTime = TSeriesClock::TTime;

  // Begins a series at now. With an interval, ticks fall at now + k * interval (0: jobs back to
  // back); without one, whoever owns the timer calls Tick. True when the first job may start
  // now; false when a job of an earlier series still runs, and JobEnded then says when.
  bool Start(TTime now, std::optional<std::chrono::milliseconds> interval);
  // Ends the ticks; a running job runs on. A pending first job is forgotten.
  void Stop();
  bool Started() const { return started_; }

  // True when a job may start: a series has begun and no job runs.
  bool Ready() const { return started_once_ && !job_running_; }
  void JobStarted() { job_running_ = true; }
  // The running job has ended. True when a first job was waiting for this end.
  bool JobEnded();
  bool JobRunning() const { return job_running_; }

  // A tick came (from the window's timer or from Due): false and counted as dropped when a job
  // runs or no series has begun.
  bool Tick();
  // For a schedule with an interval: true when a tick has fallen by now and a job may start.
  // Ticks that fell unseen in between are dropped; the beat stays the one from Start.
  bool Due(TTime now);
  // The instant Due next answers true, if nothing else happens; none while stopped, and none
  // for a back-to-back series while its job runs.
  std::optional<TTime> NextWake() const;
  // Ticks dropped since Start.
  int64_t Dropped() const { return dropped_; }
  // The ticks that fall before until pass without a job (they count as dropped); the first at
  // or after it is due as usual (a back-to-back series waits until then). Start forgets it.
  void HoldUntil(TTime until) { hold_ = until; }
  std::optional<TTime> Hold() const { return hold_; }

 private:
  std::optional<std::chrono::milliseconds> interval_;
  TTime next_tick_{};
  bool started_ = false;
  bool started_once_ = false;
  bool job_running_ = false;
  bool first_pending_ = false;
  int64_t dropped_ = 0;
  std::optional<TTime> hold_;
};

}  // namespace tessaly
