#include "capture/series/series.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "base/fileutil.h"
#include "capture/job/fetchjob.h"
#include "capture/series/clockset.h"
#include "capture/series/hostgaps.h"
#include "capture/series/newthread.h"

namespace tessaly {
namespace {

std::atomic<uint64_t> next_wake_key{1};

// How soon a series without an interval tries again after a job could not be started.
constexpr std::chrono::milliseconds kStartRetry{1000};

}  // namespace

bool KeepsSessionOpen(const TSeriesSettings& settings) {
  return IsRtspAddress(settings.Address) && !settings.OwnerTicks &&
         (settings.KeepOpen || settings.Interval <= kKeepOpenInterval);
}

uint64_t NewWakeKey() {
  return next_wake_key++;
}

TSeries::TSeries(TSeriesHost& loop, TSeriesSettings settings, TSeriesObserver& observer,
                 TCaptureJob job, const TSeriesClock& clock)
    : loop_(loop),
      settings_(std::move(settings)),
      observer_(observer),
      job_(job ? std::move(job) : TCaptureJob(FetchImageJob)),
      clock_(clock),
      wake_key_(NewWakeKey()),
      hours_key_(NewWakeKey()),
      keeping_(std::make_shared<TSeriesKeeping>(settings_.Retention)) {
  if (settings_.Directory.empty() || settings_.Directory.back() != '/') settings_.Directory += "/";
}

TSeries::~TSeries() {
  Shutdown(std::chrono::milliseconds(500));
}

void TSeries::Reset(TSeriesSettings settings) {
  settings_ = std::move(settings);
  if (settings_.Directory.empty() || settings_.Directory.back() != '/') settings_.Directory += "/";
  ++run_;
  gap_wait_.reset();
  warm_.reset();  // the next Start opens the new settings' session
  // Keeping and hours are the new settings' (a running job keeps the keeping it had).
  keeping_ = std::make_shared<TSeriesKeeping>(settings_.Retention);
  StopHours();
}

Text TSeries::Start() {
  if (shut_down_) return "the series has ended";
  if (!DirectoryExists(settings_.Directory))
    return "Error - Directory " + settings_.Directory + " Do Not Exist";
  directory_identity_ = IdentifyDirectory(settings_.Directory);
  stopped_ = false;
  busy_in_row_ = 0;
  if (settings_.LeaveBusyAlone && settings_.MinGap.count() > 0)
    THostGaps::Process().Declare(GapKey(), settings_.MinGap);
  if (settings_.Hours.Limited() && !hours_) StartHours();
  if (!hours_ || !hours_->Paused()) Restart();
  return Text();
}

void TSeries::Stop() {
  stopped_ = true;
  warm_.reset();
  schedule_.Stop();
  gap_wait_.reset();
  loop_.CancelWake(wake_key_);
}

void TSeries::Restart() {
  if (shut_down_) return;
  if (!warm_ && KeepsSessionOpen(settings_)) {
    // The session's reader may outlive the series (a job still holding it): only the loop,
    // which outlives both, is reached from its thread.
    auto said = [&loop = loop_, this, alive = std::weak_ptr<int>(alive_)](const Text& line,
                                                                          bool trouble) {
      loop.Post([this, alive, line, trouble] {
        if (alive.lock() && !shut_down_) observer_.SourceSaid(line, trouble);
      });
    };
    warm_ = std::make_shared<TWarmRtsp>(settings_.Address, TWarmLimits{}, said);
  }
  // The first job at once; behind a running one it starts when that ends.
  const auto interval = settings_.OwnerTicks
                            ? std::nullopt
                            : std::optional<std::chrono::milliseconds>(settings_.Interval);
  if (schedule_.Start(clock_.Now(), interval) && InHours()) TryStartJob();
  Arm();
}

void TSeries::TryStartJob() {
  const Text error = StartJob();
  if (error.empty()) return;
  if (!settings_.OwnerTicks && settings_.Interval.count() == 0)
    retry_at_ = clock_.Now() + kStartRetry;
  if (OnStartError) OnStartError(error);
}

void TSeries::Arm() {
  if (shut_down_) return;
  auto when = schedule_.NextWake();
  if (when && retry_at_) when = std::max(*when, *retry_at_);
  // A tick waiting for its host's gap wakes when the gap has passed; ticks that fall meanwhile
  // are the same request.
  if (gap_wait_) when = *gap_wait_;
  if (!when) {
    loop_.CancelWake(wake_key_);
    return;
  }
  loop_.WakeAt(wake_key_, *when, [this] { Wake(); });
}

bool TSeries::Tick() {
  if (shut_down_ || !schedule_.Tick() || !InHours()) return false;  // dropped
  TryStartJob();
  return true;
}

void TSeries::Wake() {
  const auto now = clock_.Now();
  // A tick that waited for its host's gap starts once the gap has passed.
  const bool gap_passed = gap_wait_ && now >= *gap_wait_;
  if (gap_passed) gap_wait_.reset();
  if ((schedule_.Due(now) || gap_passed) && InHours()) TryStartJob();
  Arm();
}

Text TSeries::GapKey() const {
  return LowerAscii(settings_.Address.Parts.host) + ":" + settings_.Address.Parts.port;
}

void TSeries::NoteBusy(const TJobOutcome& outcome) {
  const bool busy = outcome.Status == 429 || outcome.Status == 503 || outcome.TimedOut;
  if (!busy) {
    if (outcome.Status != 0) busy_in_row_ = 0;  // it answered: the interval is back
    return;
  }
  ++busy_in_row_;
  const auto now = clock_.Now();
  std::optional<TSeriesClock::TTime> until;
  Text why;
  if (busy_in_row_ >= 2) {
    const int factor = 1 << std::min(busy_in_row_ - 1, 3);
    // A back-to-back series backs off from a second.
    const auto base =
        settings_.Interval.count() > 0 ? settings_.Interval : std::chrono::milliseconds(1000);
    until = job_began_ + base * factor;
    why = "backing off to " + IntToText(factor) + " intervals";
  }
  if (outcome.RetryAfter) {
    const auto after = now + std::chrono::seconds(*outcome.RetryAfter);
    if (!until || after > *until) {
      until = after;
      why = "Retry-After " + IntToText(*outcome.RetryAfter) + " s";
    }
  }
  if (!until || *until <= now) return;
  schedule_.HoldUntil(*until);
  const auto next = schedule_.NextWake();
  const auto left =
      std::chrono::ceil<std::chrono::seconds>((next && *next > *until ? *next : *until) - now);
  observer_.Held(std::time(nullptr) + static_cast<std::time_t>(left.count()), why);
}

Text TSeries::StartJob() {
  if (shut_down_ || !schedule_.Ready()) return Text();
  const auto now = clock_.Now();
  if (settings_.LeaveBusyAlone) {
    // The tick waits for the gap its host asks (Arm wakes it then); a later tick that falls
    // meanwhile is the same request.
    gap_wait_ = THostGaps::Process().Claim(GapKey(), now);
    if (gap_wait_) {
      Arm();
      return Text();
    }
  }
  job_began_ = now;
  observer_.JobStarting();
  TNewThread::TSetup setup;
  setup.Settings = settings_;
  setup.Settings.Job.LastStored = keeping_->LastStored();
  setup.Identity = directory_identity_;
  setup.Observer = &observer_;
  setup.Keeping = keeping_;
  setup.Host = &loop_;
  setup.Job = job_;
  setup.Warm = warm_;
  setup.Done = [this, alive = std::weak_ptr<int>(alive_), run = run_](
                   int32_t next, const std::optional<TJobOutcome>& outcome) {
    if (alive.lock()) JobDone(run, next, outcome);
  };
  auto worker = std::make_shared<TNewThread>(std::move(setup));
  if (const int error = TNewThread::Resume(worker); error != 0) return std::strerror(error);
  running_ = std::move(worker);
  retry_at_.reset();
  schedule_.JobStarted();
  Arm();
  return Text();
}

void TSeries::JobDone(uint64_t run, int32_t next_counter,
                      const std::optional<TJobOutcome>& outcome) {
  running_.reset();
  const int32_t counter = settings_.Counter;
  if (run == run_) settings_.Counter = next_counter;
  if (run == run_ && outcome && settings_.LeaveBusyAlone && !shut_down_) NoteBusy(*outcome);
  const bool first = schedule_.JobEnded();
  observer_.JobEnded(counter);
  if (first && !shut_down_ && InHours()) TryStartJob();
  Arm();
}

void TSeries::RequestStop() {
  if (running_) running_->RequestStop();
}

bool TSeries::Shutdown(std::chrono::milliseconds grace) {
  shut_down_ = true;
  warm_.reset();  // its reader ends at once; a running job still holding it ends it later
  schedule_.Stop();
  loop_.CancelWake(wake_key_);
  StopHours();
  if (!running_) return true;
  const std::shared_ptr<TNewThread> worker = std::move(running_);
  worker->RequestStop();
  // Whatever it does from here reaches nobody.
  return worker->Close(grace);
}

bool TSeries::InHours() {
  return !hours_ || hours_->Open();
}

void TSeries::StartHours() {
  // Outside the hours the ticks rest, Start's first one too; each period that opens fetches at
  // once and keeps the interval from there. The keeper's wakes are the loop's, and the process'
  // one watcher of the wall clock makes it look again when the clock is set.
  THoursKeeper::TEvents events;
  events.Paused = [this](std::time_t now, std::time_t until) {
    schedule_.Stop();
    warm_.reset();  // no session held open through hours without ticks
    loop_.CancelWake(wake_key_);
    observer_.Paused(now, until);
  };
  events.Opened = [this] {
    observer_.Opened();
    if (!stopped_) Restart();
  };
  events.WakeAt = [this](std::optional<TSeriesClock::TTime> when) {
    if (when)
      loop_.WakeAt(hours_key_, *when, [this] { hours_->Update(); });
    else
      loop_.CancelWake(hours_key_);
  };
  hours_ = std::make_unique<THoursKeeper>(settings_.Hours, std::move(events), clock_);
  clock_set_key_ = WatchClockSet(loop_, [this] { hours_->Update(); });
  hours_->Update();
}

void TSeries::StopHours() {
  loop_.CancelWake(hours_key_);
  ForgetClockSet(clock_set_key_);
  clock_set_key_ = 0;
  hours_.reset();
}

}  // namespace tessaly
