#include "capture/series/series.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "base/fileutil.h"
#include "capture/series/clockset.h"
#include "capture/job/fetchjob.h"
#include "capture/series/newthread.h"

namespace tessaly {
namespace {

std::atomic<uint64_t> next_wake_key{1};

// How soon a series without an interval tries again after a job could not be started.
constexpr std::chrono::milliseconds kStartRetry{1000};

}  // namespace

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
  if (settings_.Hours.Limited() && !hours_) StartHours();
  if (!hours_ || !hours_->Paused()) Restart();
  return Text();
}

void TSeries::Stop() {
  stopped_ = true;
  schedule_.Stop();
  loop_.CancelWake(wake_key_);
}

void TSeries::Restart() {
  if (shut_down_) return;
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
  if (schedule_.Due(clock_.Now()) && InHours()) TryStartJob();
  Arm();
}

Text TSeries::StartJob() {
  if (shut_down_ || !schedule_.Ready()) return Text();
  observer_.JobStarting();
  TNewThread::TSetup setup;
  setup.Settings = settings_;
  setup.Settings.Job.LastStored = keeping_->LastStored();
  setup.Identity = directory_identity_;
  setup.Observer = &observer_;
  setup.Keeping = keeping_;
  setup.Host = &loop_;
  setup.Job = job_;
  setup.Done = [this, alive = std::weak_ptr<int>(alive_), run = run_](int32_t next) {
    if (alive.lock()) JobDone(run, next);
  };
  auto worker = std::make_shared<TNewThread>(std::move(setup));
  if (const int error = TNewThread::Resume(worker); error != 0) return std::strerror(error);
  running_ = std::move(worker);
  retry_at_.reset();
  schedule_.JobStarted();
  Arm();
  return Text();
}

void TSeries::JobDone(uint64_t run, int32_t next_counter) {
  running_.reset();
  const int32_t counter = settings_.Counter;
  if (run == run_) settings_.Counter = next_counter;
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
