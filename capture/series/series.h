// A capture series without a window: its settings as one value, its schedule on a loop shared
// with any number of other series, one job at a time on a worker thread of its own (small
// stack), its pictures kept and catalogued, its active hours, and what each job did told to an
// observer.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>

#include "base/text.h"
#include "base/url.h"
#include "capture/hours/activehours.h"
#include "capture/job/jobcontext.h"
#include "capture/job/seriesdirectory.h"
#include "capture/series/hourskeeper.h"
#include "capture/series/serieshost.h"
#include "capture/series/serieskeeping.h"
#include "capture/series/seriesschedule.h"
#include "capture/store/retention.h"
#include "media/rtspsource.h"

namespace tessaly {

class TNewThread;

struct TSeriesSettings {
  TAddress Address;
  std::chrono::milliseconds Interval{10000};  // 0: the jobs run back to back
  bool OwnerTicks = false;                    // the owner calls Tick; Interval is not used
  Text Directory;                             // "/" is added when missing
  int32_t Counter = 1;                        // the first job's
  TJobOptions Job;                            // LastStored is the series' own
  // The directory the series stored in, when another one is at Directory now: every job then
  // fails, saying so, until that one is back. None: the one found at Start is the series'.
  std::optional<TDirectoryIdentity> StoredIn;
  TActiveHours Hours;               // outside them nothing is fetched (the host's wakes keep them)
  TRetention* Retention = nullptr;  // what is kept of the pictures; outlives the series
  TJobTls Tls;                      // how an https camera is trusted
  // The console's care for a busy camera (the window keeps its plain beat): the ticks before
  // the end of a Retry-After of a 429 or 503 pass without a request; from the second 429, 503
  // or time-out in a row the next request waits 2, 4, then 8 intervals (1 s back to back)
  // after the last one began, until the camera answers otherwise. And no request of such a
  // series starts within MinGap (the largest any series of the process declared for its
  // host:port) of the last one there: the tick waits until it may.
  bool LeaveBusyAlone = false;
  std::chrono::milliseconds MinGap{0};
  // An rtsp camera's session stays open between the ticks whatever the interval (without it,
  // only for intervals up to kKeepOpenInterval).
  bool KeepOpen = false;
};

// The longest interval for which an rtsp camera's session stays open between ticks unless the
// settings ask for it: a picture at the tick costs a kept session's reading in between, and
// waiting for a keyframe (up to 10 s) would take much of a shorter interval.
inline constexpr std::chrono::milliseconds kKeepOpenInterval{30000};

// True when a series of these settings keeps its camera's session open between ticks.
bool KeepsSessionOpen(const TSeriesSettings& settings);

// What a series tells. Worker-thread calls may come from several series at once.
class TSeriesObserver {
 public:
  virtual ~TSeriesObserver() = default;
  // Worker thread: what keeping the pictures did, each before the job's Outcome.
  virtual void Kept(const TKeepingNote& note) { (void)note; }
  // Worker thread: the job numbered counter, not stopped, ended so, ms after it started.
  virtual void Outcome(const TJobOutcome& outcome, int32_t counter, int64_t ms) = 0;
  // Loop thread: the job numbered counter has ended; the series' counter has advanced.
  virtual void JobEnded(int32_t counter) { (void)counter; }
  // Loop thread: outside the active hours from now until until; no tick fetches meanwhile.
  virtual void Paused(std::time_t now, std::time_t until) {
    (void)now;
    (void)until;
  }
  // Loop thread: a period of the active hours has opened after a pause.
  virtual void Opened() {}
  // Loop thread: the camera's kept session was lost (trouble) or is open again after a loss.
  virtual void SourceSaid(const Text& line, bool trouble) {
    (void)line;
    (void)trouble;
  }
  // Loop thread: the camera is busy; no request before until (wall clock), why says so
  // ("Retry-After 120 s", "backing off to 4 intervals").
  virtual void Held(std::time_t until, const Text& why) {
    (void)until;
    (void)why;
  }
  // Loop thread: a job is about to start.
  virtual void JobStarting() {}
  // Worker thread: the path the job is about to write, before it is written.
  virtual void FileNamed(const Text& path) { (void)path; }
  // Worker thread: a modal box and the caption, for a series shown in a window; each returns
  // once done. They may wait for the loop thread: whoever shuts the series down from there must
  // first release such waits.
  virtual void ShowMessage(const Text& text) { (void)text; }
  virtual void SetCaption(const Text& text) { (void)text; }
};

// The stack of a job's worker: an HTTP exchange with TLS needs far less, and a thousand
// cameras must not reserve 8 MiB each.
inline constexpr size_t kSeriesWorkerStack = 512 * 1024;

class TSeries {
 public:
  // job is FetchImageJob unless a test gives another. observer and loop outlive the series.
  TSeries(TSeriesHost& loop, TSeriesSettings settings, TSeriesObserver& observer,
          TCaptureJob job = {}, const TSeriesClock& clock = SteadySeriesClock());
  // Shutdown with half a second's grace.
  ~TSeries();
  TSeries(const TSeries&) = delete;
  TSeries& operator=(const TSeries&) = delete;

  // Loop thread. Settings for the next Start; a job still running keeps its own, and its end no
  // longer advances the counter.
  void Reset(TSeriesSettings settings);
  // Loop thread. Begins the ticks and the first job at once, or (with limited hours) a pause
  // until they open. "" or why it cannot start (the directory is not there).
  Text Start();
  // Loop thread. The ticks end, and a period that opens does not begin them again; a running
  // job runs to its end.
  void Stop();
  // Loop thread. A tick of the owner's: starts a job unless one runs (then it is dropped); true
  // when it tried.
  bool Tick();
  // Asks a running job to stop and waits up to grace for it; true when none is left. After this
  // nothing starts, and nothing more reaches the observer.
  bool Shutdown(std::chrono::milliseconds grace);
  // Asks a running job to stop without waiting; Shutdown then waits.
  void RequestStop();

  bool JobRunning() const { return running_ != nullptr; }
  int32_t Counter() const { return settings_.Counter; }
  const TSeriesSchedule& Schedule() const { return schedule_; }
  // Loop thread: the error of the last tick that could not start its job, for the owner.
  std::function<void(const Text& error)> OnStartError;

 private:
  // Begins the beat anew from now with a job at once (at Start, and when a period opens).
  void Restart();
  // Starts a job now unless one runs; "" or why no worker could be had.
  Text StartJob();
  void Arm();
  void Wake();
  void TryStartJob();
  void JobDone(uint64_t run, int32_t next_counter, const std::optional<TJobOutcome>& outcome);
  // After a job of a series that leaves a busy camera alone: how long to leave it.
  void NoteBusy(const TJobOutcome& outcome);
  // The host:port of the series' camera, for the gaps between requests.
  Text GapKey() const;
  // False outside the active hours, where every tick is dropped.
  bool InHours();
  void StartHours();
  void StopHours();

  TSeriesHost& loop_;
  TSeriesSettings settings_;
  TSeriesObserver& observer_;
  TCaptureJob job_;
  const TSeriesClock& clock_;
  TSeriesSchedule schedule_;
  TDirectoryIdentity directory_identity_;
  std::shared_ptr<TNewThread> running_;
  // The camera's session kept open between ticks, while the series ticks; a running job holds
  // it too, until it ends.
  std::shared_ptr<TWarmRtsp> warm_;
  uint64_t run_ = 0;  // counts the Resets
  // Tells posted ends of jobs whether the series still lives.
  std::shared_ptr<int> alive_ = std::make_shared<int>();
  const uint64_t wake_key_;
  const uint64_t hours_key_;
  std::shared_ptr<TSeriesKeeping> keeping_;
  std::unique_ptr<THoursKeeper> hours_;
  uint64_t clock_set_key_ = 0;
  bool shut_down_ = false;
  bool stopped_ = false;
  // A back-to-back series that could not start a job tries again then, not at once.
  std::optional<TSeriesClock::TTime> retry_at_;
  // 429s, 503s and time-outs in a row; when the last job began; until when a tick that fell
  // waits for the gap of its host:port.
  int busy_in_row_ = 0;
  TSeriesClock::TTime job_began_{};
  std::optional<TSeriesClock::TTime> gap_wait_;
};

}  // namespace tessaly
