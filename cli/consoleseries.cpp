#include "cli/consoleseries.h"

#include <signal.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "capture/fetchjob.h"
#include "capture/scheduler.h"
#include "cli/hourskeeper.h"
#include "cli/jobline.h"
#include "cli/serieslog.h"

namespace tessaly {
namespace {

// How long a signal lets a running job take to notice that it should stop: the program ends
// within a second, well inside a service manager's stop time-out.
constexpr std::chrono::milliseconds kStopGrace{500};
// How soon a series without an interval tries again after a job could not be started.
constexpr std::chrono::milliseconds kStartRetry{1000};

// The job's context as the worker gives it, with the outcome handed to report.
class TReportingContext final : public TJobContext {
 public:
  TReportingContext(TJobContext& inner, TJobOptions options,
                    std::function<void(const TJobOutcome&)> report,
                    std::function<int(int64_t, Text&)> make_room,
                    std::optional<TDirectoryIdentity> stored_in)
      : inner_(inner),
        options_(std::move(options)),
        report_(std::move(report)),
        make_room_(std::move(make_room)),
        stored_in_(stored_in) {}
  const Text& Address() const override { return inner_.Address(); }
  int32_t Counter() const override { return inner_.Counter(); }
  const Text& SaveDir() const override { return inner_.SaveDir(); }
  TDirectoryIdentity SaveDirIdentity() const override {
    return stored_in_ ? *stored_in_ : inner_.SaveDirIdentity();
  }
  Text DirectoryReplacedReason() const override {
    if (!stored_in_) return inner_.DirectoryReplacedReason();
    const Text& dir = SaveDir();
    return (dir.size() > 1 ? dir.substr(0, dir.size() - 1) : dir) +
           " is not the directory this series stored in";
  }
  Text MakeFileName(const Text& name) override { return inner_.MakeFileName(name); }
  void ShowMessage(const Text& text) override { inner_.ShowMessage(text); }
  void SetCaption(const Text& text) override { inner_.SetCaption(text); }
  std::stop_token StopToken() const override { return inner_.StopToken(); }
  TJobOptions Options() const override { return options_; }
  int MakeRoom(int64_t bytes, Text& why) override { return make_room_(bytes, why); }
  void ReportOutcome(const TJobOutcome& outcome) override { report_(outcome); }

 private:
  TJobContext& inner_;
  TJobOptions options_;
  std::function<void(const TJobOutcome&)> report_;
  std::function<int(int64_t, Text&)> make_room_;
  std::optional<TDirectoryIdentity> stored_in_;
};

}  // namespace

// Carries signals from the thread that waits for them onto the loop, as long as the series runs;
// the waiting thread outlives the series.
class TConsoleSeries::TSignalRelay {
 public:
  void Attach(TConsoleSeries* series) {
    std::lock_guard lock(mutex_);
    series_ = series;
  }
  void Deliver() {
    std::lock_guard lock(mutex_);
    if (series_) series_->port_.PostToWindowThread([s = series_] { s->OnSignal(); });
  }

 private:
  std::mutex mutex_;
  TConsoleSeries* series_ = nullptr;
};

int TConsoleSeries::Run() {
  TScheduler scheduler(port_, [this](TJobContext& job) { RunReportedJob(job); });
  scheduler_ = &scheduler;
  // The port's timer keeps the real interval; the window's own fields would only bound it.
  port_.SetTickInterval(options_.IntervalMs);
  port_.SetIntervalText("0");
  port_.SetUnitIndex(0);
  port_.SetHeartbeat(notifier_.WatchdogPeriod(), [this] { notifier_.Watchdog(); });

  // The signals to take are those blocked for the series; one ignored at start is not among
  // them and stays ignored.
  sigset_t wanted;
  sigemptyset(&wanted);
  sigset_t blocked;
  pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
  for (int s : {SIGINT, SIGTERM, SIGHUP})
    if (sigismember(&blocked, s) == 1) sigaddset(&wanted, s);
  auto relay = std::make_shared<TSignalRelay>();
  relay->Attach(this);
  std::thread([relay, wanted] {
    for (;;) {
      int signal_number = 0;
      if (sigwait(&wanted, &signal_number) == 0) relay->Deliver();
    }
  }).detach();

  // Outside the active hours every tick is dropped, Start's first one too; each period that
  // opens fetches at once and then keeps the interval from there.
  std::optional<THoursKeeper> hours;
  if (options_.Hours.Limited()) {
    THoursKeeper::TEvents events;
    events.Paused = [this](std::time_t now, std::time_t until) {
      paused_until_ = LocalTimeStamp(until);
      // A pause found before Start is told with READY, as the series' first status. The
      // ticks rest until the period opens.
      if (port_.TimerOn()) {
        port_.StopTimer();
        UpdateStatus();
      }
      if (!options_.Quiet) Print(LocalTimeStamp(now), "paused until " + *paused_until_, 0);
    };
    events.Opened = [this] {
      paused_until_.reset();
      UpdateStatus();
      if (ending_) return;
      port_.StartTimer(0);
      StartJob();
    };
    hours.emplace(port_, options_.Hours, std::move(events));
    hours->Update();
    scheduler.SetTickGate([&hours] { return hours->Open(); });
  }

  int status = 0;
  scheduler.Button1_StartClick();
  if (!port_.TimerOn()) {
    // The directory went between the check and Start, or Start refused the settings.
    Text message = port_.LastMessage();
    for (char& c : message)
      if (c == '\r' || c == '\n') c = ' ';
    Complain(kPriorityError, message);
    status = 1;
  } else {
    if (paused_until_) port_.StopTimer();
    notifier_.Ready();
    UpdateStatus();
    port_.Run([&] { StartJob(); },
              [&] {
                if (!ending_ && options_.IntervalMs == 0 && !scheduler.JobRunning()) StartJob();
              },
              [&] { return signalled_ || (ending_ && !scheduler.JobRunning()); });
    if (signalled_) {
      // The fetch in flight is abandoned as closing the window abandons it: nothing partial
      // is stored, its picture is not kept.
      job_abandoned_ = !scheduler.Shutdown(kStopGrace);
      // A job that was already writing when the signal came has finished its file: say so.
      if (!job_abandoned_) port_.RunPending();
    } else if (too_many_failures_) {
      status = kExitTooManyFailures;
    } else if (counter_spent_) {
      status = 1;
    }
  }
  relay->Attach(nullptr);
  scheduler_ = nullptr;
  return status;
}

void TConsoleSeries::StartJob() {
  const int errors = port_.ErrorCount();
  scheduler_->Timer1Timer();
  if (port_.ErrorCount() == errors) return;
  // No worker to be had: the series goes on, and says so where somebody reads it.
  Complain(kPriorityWarning, "cannot start a fetch: " + port_.LastMessage());
  TJobOutcome outcome;
  outcome.Reason = "cannot start a fetch: " + port_.LastMessage();
  CountFailure(outcome, LocalTimeStamp(std::time(nullptr)));
  // Back to back, nothing else would ever try again.
  if (options_.IntervalMs == 0 && !ending_) {
    port_.SetTickInterval(kStartRetry.count());
    port_.StartTimer(0);
  }
}

void TConsoleSeries::RunReportedJob(TJobContext& job) {
  const auto started = std::chrono::steady_clock::now();
  TJobOptions options = options_.Job;
  {
    std::lock_guard lock(last_picture_mutex_);
    options.LastStored = last_picture_;
  }
  auto report = [this, started, &job](const TJobOutcome& outcome) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - started)
                        .count();
    const std::time_t now = std::time(nullptr);
    Text error;
    if (outcome.Kind == TJobOutcome::TKind::Stored && options_.Retention &&
        !options_.Retention->Stored(outcome.Path, job.Counter(), outcome.Bytes, now, error)) {
      const Text line = "could not catalog " + outcome.Path + ": " + error;
      port_.PostToWindowThread(
          [this, line, stamp = LocalTimeStamp(now)] { Print(stamp, line, kPriorityWarning); });
    }
    if (outcome.Kind == TJobOutcome::TKind::Stored) {
      std::lock_guard lock(last_picture_mutex_);
      last_picture_ = outcome.Path;
    }
    const Text stamp = LocalTimeStamp(now);
    port_.PostToWindowThread([this, outcome, stamp, ms] { OnOutcome(outcome, stamp, ms); });
  };
  std::optional<TDirectoryIdentity> stored_in;
  if (options_.NotItsDirectory && options_.Retention) stored_in = options_.Retention->Directory();
  TReportingContext context(
      job, options, report, [this](int64_t bytes, Text& why) { return MakeRoom(bytes, why); },
      stored_in);
  FetchImageJob(context);
  // The next number would wrap to the lowest: the series ends rather than sort out of order.
  if (job.Counter() == INT32_MAX && !job.StopRequested())
    port_.PostToWindowThread([this] {
      if (counter_spent_) return;
      Complain(kPriorityError,
               "the counter has reached its largest value, 2147483647; ending the series");
      counter_spent_ = true;
      BeginEnding();
    });
}

// Removals are printed also when quiet (with a priority): a file gone must never go unsaid.
int TConsoleSeries::MakeRoom(int64_t bytes, Text& why) {
  why.clear();
  if (!options_.Retention) return 0;
  std::vector<TRemoval> removed;
  const int refused = options_.Retention->MakeRoom(bytes, removed, why);
  const Text stamp = LocalTimeStamp(std::time(nullptr));
  for (const TRemoval& removal : removed) {
    const Text line = removal.Error.empty()
                          ? "removed " + removal.Path + " " + IntToText(removal.Bytes)
                          : "could not remove " + removal.Path + ": " + removal.Error;
    const int priority = removal.Error.empty() ? kPriorityNotice : kPriorityWarning;
    port_.PostToWindowThread([this, stamp, line, priority] { Print(stamp, line, priority); });
  }
  return refused;
}

void TConsoleSeries::OnOutcome(const TJobOutcome& outcome, const Text& stamp, int64_t ms) {
  const bool stored = outcome.Kind == TJobOutcome::TKind::Stored;
  // An unchanged picture is an answer too: the camera is there, only its picture stands still.
  const bool failed = !stored && outcome.Kind != TJobOutcome::TKind::Unchanged;
  if (stored) last_stored_ = TLastJob{outcome, stamp};
  if (!failed) {
    failures_in_row_ = 0;
    UpdateStatus();
    if (const auto recovered = fold_.Succeeded()) Print(stamp, *recovered, kPriorityNotice);
  }
  const Text line = JobLine(stamp, outcome, ms).substr(stamp.size() + 1);
  if (!failed) {
    Print(stamp, line, 0, stored);
  } else {
    const TFailureFold::TVerdict verdict = fold_.Failed(outcome.Reason, std::time(nullptr));
    if (verdict.Print) Print(stamp, line, kPriorityWarning);
    if (verdict.Line) Print(stamp, *verdict.Line, kPriorityWarning);
    CountFailure(outcome, stamp);
  }
}

void TConsoleSeries::CountFailure(const TJobOutcome& outcome, const Text& stamp) {
  ++failures_in_row_;
  last_failure_ = TLastJob{outcome, stamp};
  UpdateStatus();
  if (options_.MaxFailures > 0 && failures_in_row_ >= options_.MaxFailures && !ending_) {
    Complain(kPriorityError,
             IntToText(failures_in_row_) + " failed fetches in a row, ending the series");
    too_many_failures_ = true;
    BeginEnding();
  }
}

Text TConsoleSeries::StatusText() const {
  Text stored_text;
  if (last_stored_)
    stored_text = "last stored " + last_stored_->Outcome.Path + " (" +
                  IntToText(last_stored_->Outcome.Bytes) + " bytes) at " + last_stored_->Stamp;
  if (paused_until_)
    return "paused until " + *paused_until_ + (last_stored_ ? "; " + stored_text : Text());
  if (failures_in_row_ == 0)
    return last_stored_ ? stored_text : Text("started, the first fetch is running");
  Text text = IntToText(failures_in_row_) + (failures_in_row_ == 1 ? " failure" : " failures") +
              " in a row, the last at " + last_failure_->Stamp + ": " +
              last_failure_->Outcome.Reason;
  return last_stored_ ? text + "; " + stored_text : text;
}

void TConsoleSeries::Print(const Text& stamp, const Text& text, int priority, bool stored) {
  if (priority != 0 || !options_.Quiet) {
    // The journal stamps every line itself and reads its priority from the prefix.
    const Text line = journal_out_ ? (priority != 0 ? PriorityPrefix(priority) : Text()) + text
                                   : stamp + " " + text;
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    // The socket layer ignores SIGPIPE, so a reader that has gone (`| head -3`) shows here;
    // the series then ends as at a signal.
    if (std::fflush(stdout) != 0 && errno == EPIPE) BeginEnding();
  }
  if (stored && options_.Count > 0 && ++stored_ >= options_.Count) BeginEnding();
}

void TConsoleSeries::Complain(int priority, const Text& message) {
  const Text prefix = journal_err_ ? PriorityPrefix(priority) : Text();
  std::fprintf(stderr, "%stessaly-capture: %s\n", prefix.c_str(), message.c_str());
}

void TConsoleSeries::OnSignal() {
  // A service manager sends one signal and waits only a few seconds: the first one ends.
  signalled_ = true;
  BeginEnding();
}

void TConsoleSeries::BeginEnding() {
  if (ending_) return;
  ending_ = true;
  notifier_.Stopping();
  // No further job starts; the running one finishes, stores and reports.
  if (scheduler_) scheduler_->Button2_StopClick();
}

}  // namespace tessaly
