#include "capture/series.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <stop_token>
#include <vector>

#include "base/fileutil.h"
#include "capture/clockset.h"
#include "capture/fetchjob.h"
#include "capture/naming.h"
#include "capture/threadpriority.h"

namespace tessaly {
namespace {

std::atomic<uint64_t> next_wake_key{1};

// How soon a series without an interval tries again after a job could not be started.
constexpr std::chrono::milliseconds kStartRetry{1000};

// Runs body on a detached thread with a small stack. The system's error number, or 0.
int StartSmallThread(std::function<void()> body) {
  pthread_attr_t attr;
  if (int error = pthread_attr_init(&attr); error != 0) return error;
  pthread_attr_setstacksize(&attr, kSeriesWorkerStack);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  auto* owned = new std::function<void()>(std::move(body));
  pthread_t thread;
  const int error = pthread_create(
      &thread, &attr,
      [](void* arg) -> void* {
        std::unique_ptr<std::function<void()>> fn(static_cast<std::function<void()>*>(arg));
        (*fn)();
        return nullptr;
      },
      owned);
  pthread_attr_destroy(&attr);
  if (error != 0) delete owned;
  return error;
}

}  // namespace

// One job: what it works with, and the road back, which Shutdown closes so that a worker let
// run on alone reaches nobody.
struct TSeries::TJob final : public TJobContext {
  TSeriesSettings Settings;
  TDirectoryIdentity Identity;
  TSeriesObserver* Observer = nullptr;
  std::shared_ptr<TSeriesKeeping> Keeping;
  TSeriesHost* Loop = nullptr;
  std::function<void(int32_t)> Done;  // loop thread
  TCaptureJob Work;
  std::chrono::steady_clock::time_point Started;
  std::stop_source Stop;
  std::mutex Mutex;
  std::condition_variable FinishedCv;
  bool Open = true;
  bool Finished = false;

  const Text& Address() const override { return Settings.Address.Given; }
  const TAddress* AddressValue() const override { return &Settings.Address; }
  int32_t Counter() const override { return Settings.Counter; }
  const Text& SaveDir() const override { return Settings.Directory; }
  TDirectoryIdentity SaveDirIdentity() const override {
    return Settings.StoredIn ? *Settings.StoredIn : Identity;
  }
  Text DirectoryReplacedReason() const override {
    if (!Settings.StoredIn) return TJobContext::DirectoryReplacedReason();
    const Text& dir = Settings.Directory;
    return (dir.size() > 1 ? dir.substr(0, dir.size() - 1) : dir) +
           " is not the directory this series stored in";
  }
  Text MakeFileName(const Text& name) override {
    const Text path = FreshFilePath(Settings.Directory, name, Settings.Counter);
    std::lock_guard lock(Mutex);
    if (Open) Observer->FileNamed(path);
    return path;
  }
  void ShowMessage(const Text& text) override {
    std::lock_guard lock(Mutex);
    if (Open) Observer->ShowMessage(text);
  }
  void SetCaption(const Text& text) override {
    std::lock_guard lock(Mutex);
    if (Open) Observer->SetCaption(text);
  }
  std::stop_token StopToken() const override { return Stop.get_token(); }
  TJobOptions Options() const override { return Settings.Job; }
  int MakeRoom(int64_t bytes, Text& why) override {
    why.clear();
    std::vector<TKeepingNote> notes;
    std::lock_guard lock(Mutex);
    if (!Open) return 0;
    const int refused = Keeping->MakeRoom(bytes, why, notes);
    for (const TKeepingNote& note : notes) Observer->Kept(note);
    return refused;
  }
  void ReportOutcome(const TJobOutcome& outcome) override {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - Started)
                        .count();
    std::vector<TKeepingNote> notes;
    std::lock_guard lock(Mutex);
    if (!Open) return;
    if (outcome.Kind == TJobOutcome::TKind::Stored)
      Keeping->Stored(outcome.Path, Settings.Counter, outcome.Bytes, notes);
    for (const TKeepingNote& note : notes) Observer->Kept(note);
    Observer->Outcome(outcome, Settings.Counter, ms);
  }

  void Run() {
    // The loop must stay responsive while a job works.
    LowerCurrentThreadPriority();
    try {
      Work(*this);
    } catch (...) {
      // A job reports its own failures; one it did not catch must not end the program.
    }
    const int32_t next = static_cast<int32_t>(static_cast<uint32_t>(Settings.Counter) + 1u);
    std::lock_guard lock(Mutex);
    Finished = true;
    FinishedCv.notify_all();
    if (Open) Loop->Post([done = Done, next] { done(next); });
  }
};

TSeries::TSeries(TSeriesHost& loop, TSeriesSettings settings, TSeriesObserver& observer,
                 TCaptureJob job, const TSeriesClock& clock)
    : loop_(loop),
      settings_(std::move(settings)),
      observer_(observer),
      job_(job ? std::move(job) : TCaptureJob(FetchImageJob)),
      clock_(clock),
      wake_key_(next_wake_key++),
      hours_key_(next_wake_key++),
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
  if (schedule_.Start(clock_.Now(), interval) && Gate()) TryStartJob();
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
  if (shut_down_ || !schedule_.Tick() || !Gate()) return false;  // dropped
  TryStartJob();
  return true;
}

void TSeries::Wake() {
  if (schedule_.Due(clock_.Now()) && Gate()) TryStartJob();
  Arm();
}

Text TSeries::StartJob() {
  if (shut_down_ || !schedule_.Ready()) return Text();
  observer_.JobStarting();
  auto job = std::make_shared<TJob>();
  job->Settings = settings_;
  job->Settings.Job.LastStored = keeping_->LastStored();
  job->Identity = directory_identity_;
  job->Observer = &observer_;
  job->Keeping = keeping_;
  job->Loop = &loop_;
  job->Work = job_;
  job->Started = std::chrono::steady_clock::now();
  job->Done = [this, alive = std::weak_ptr<int>(alive_), run = run_](int32_t next) {
    if (alive.lock()) JobDone(run, next);
  };
  if (const int error = StartSmallThread([job] { job->Run(); }); error != 0)
    return std::strerror(error);
  running_ = std::move(job);
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
  if (first && !shut_down_ && Gate()) TryStartJob();
  Arm();
}

void TSeries::RequestStop() {
  if (running_) running_->Stop.request_stop();
}

bool TSeries::Shutdown(std::chrono::milliseconds grace) {
  shut_down_ = true;
  schedule_.Stop();
  loop_.CancelWake(wake_key_);
  StopHours();
  if (!running_) return true;
  const std::shared_ptr<TJob> job = std::move(running_);
  job->Stop.request_stop();
  std::unique_lock lock(job->Mutex);
  const bool ended = job->FinishedCv.wait_for(lock, grace, [&] { return job->Finished; });
  // Whatever it does from here reaches nobody.
  job->Open = false;
  return ended;
}

bool TSeries::Gate() {
  return (!hours_ || hours_->Open()) && (!gate_ || gate_());
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
