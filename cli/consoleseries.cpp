#include "cli/consoleseries.h"

#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "cli/jobline.h"
#include "cli/servicenotify.h"

namespace tessaly {
namespace {

// How long a signal lets the running jobs take to notice that they should stop: the program
// ends within a second, well inside a service manager's stop time-out.
constexpr std::chrono::milliseconds kStopGrace{500};

// The reader of standard output has gone (`| head -3`): every series ends as at a signal.
bool output_gone = false;

}  // namespace

TConsoleSeries::TConsoleSeries(TSeriesLoop& loop, TSeriesSettings settings, TSeriesOptions options,
                               Text name)
    : loop_(loop),
      options_(std::move(options)),
      name_(std::move(name)),
      series_(loop, std::move(settings), *this) {
  series_.OnStartError = [this](const Text& error) { OnStartError(error); };
}

bool TConsoleSeries::Begin() {
  if (const Text error = series_.Start(); !error.empty()) {
    Complain(kPriorityError, error);
    status_ = 1;
    ending_ = true;
    return false;
  }
  return true;
}

void TConsoleSeries::Paused(std::time_t now, std::time_t until) {
  paused_until_ = LocalTimeStamp(until);
  changed_();
  if (!options_.Quiet) Print(LocalTimeStamp(now), "paused until " + *paused_until_, 0);
}

void TConsoleSeries::Opened() {
  paused_until_.reset();
  changed_();
}

void TConsoleSeries::OnStartError(const Text& error) {
  // No worker to be had: the series goes on, and says so where somebody reads it.
  Complain(kPriorityWarning, "cannot start a fetch: " + error);
  TJobOutcome outcome;
  outcome.Reason = "cannot start a fetch: " + error;
  CountFailure(outcome, LocalTimeStamp(std::time(nullptr)));
}

void TConsoleSeries::Outcome(const TJobOutcome& outcome, int32_t, int64_t ms) {
  const Text stamp = LocalTimeStamp(std::time(nullptr));
  loop_.Post([this, outcome, stamp, ms] { OnOutcome(outcome, stamp, ms); });
}

void TConsoleSeries::JobEnded(int32_t counter) {
  // The next number would wrap to the lowest: the series ends rather than sort out of order.
  if (counter != INT32_MAX || status_ != 0) return;
  Complain(kPriorityError,
           "the counter has reached its largest value, 2147483647; ending the series");
  status_ = 1;
  BeginEnding();
}

void TConsoleSeries::Kept(const TKeepingNote& note) {
  const int priority = note.Failed ? kPriorityWarning : kPriorityNotice;
  loop_.Post([this, stamp = LocalTimeStamp(std::time(nullptr)), line = note.Line, priority] {
    Print(stamp, line, priority);
  });
}

void TConsoleSeries::OnOutcome(const TJobOutcome& outcome, const Text& stamp, int64_t ms) {
  const bool stored = outcome.Kind == TJobOutcome::TKind::Stored;
  // An unchanged picture is an answer too: the camera is there, only its picture stands still.
  const bool failed = !stored && outcome.Kind != TJobOutcome::TKind::Unchanged;
  if (stored) last_stored_ = TLastJob{outcome, stamp};
  if (!failed) {
    failures_in_row_ = 0;
    changed_();
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
  changed_();
  if (options_.MaxFailures > 0 && failures_in_row_ >= options_.MaxFailures && !ending_) {
    Complain(kPriorityError,
             IntToText(failures_in_row_) + " failed fetches in a row, ending the series");
    status_ = kExitTooManyFailures;
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
    const Text name = name_.empty() ? Text() : name_ + " ";
    // The journal stamps every line itself and reads its priority from the prefix. Paths and
    // reasons come from servers and names from files: escaped, none ends the line early or
    // speaks to a terminal, and a name that starts with "<" gets the priority written before
    // it, lest the journal take "<0>" of the name for one.
    const Text body = PrintableText(journal_out_ ? name + text : name + stamp + " " + text);
    if (journal_out_ && priority == 0 && body[0] == '<') priority = kPriorityInfo;
    const Text line = (journal_out_ && priority != 0 ? PriorityPrefix(priority) : Text()) + body;
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    // The socket layer ignores SIGPIPE, so a reader that has gone shows here.
    if (std::fflush(stdout) != 0 && errno == EPIPE) output_gone = true;
  }
  if (stored && options_.Count > 0 && ++stored_ >= options_.Count) BeginEnding();
}

void TConsoleSeries::Complain(int priority, const Text& message) {
  const Text prefix = journal_err_ ? PriorityPrefix(priority) : Text();
  const Text name = name_.empty() ? Text() : name_ + " ";
  const Text line = prefix + PrintableText(name + "tessaly-capture: " + message);
  std::fprintf(stderr, "%s\n", line.c_str());
}

void TConsoleSeries::BeginEnding() {
  if (ending_) return;
  ending_ = true;
  series_.Stop();
  changed_();
}

Text CamerasStatusText(const std::vector<std::unique_ptr<TConsoleSeries>>& series,
                       const std::vector<Text>& unstarted) {
  int64_t running = 0;
  int64_t paused = 0;
  Text failing;
  int64_t failing_count = static_cast<int64_t>(unstarted.size());
  for (const Text& name : unstarted) failing += (failing.empty() ? "" : ", ") + name;
  for (const auto& one : series) {
    if (one->Failing()) {
      ++failing_count;
      failing += (failing.empty() ? "" : ", ") + one->Name();
    } else if (one->Paused()) {
      ++paused;
    } else if (!one->Ended()) {
      ++running;
    }
  }
  Text text = IntToText(static_cast<int64_t>(series.size() + unstarted.size())) +
              " cameras: " + IntToText(running) + " running, " + IntToText(paused) + " paused, " +
              IntToText(failing_count) + " failing";
  return failing.empty() ? text : text + " (" + failing + ")";
}

namespace {

// Carries signals from the thread that waits for them onto the loop, as long as the series run;
// the waiting thread outlives them.
class TSignalRelay {
 public:
  void Attach(TSeriesLoop* loop, std::function<void()> on_signal) {
    std::lock_guard lock(mutex_);
    loop_ = loop;
    on_signal_ = std::move(on_signal);
  }
  void Deliver() {
    std::lock_guard lock(mutex_);
    if (loop_) loop_->Post(on_signal_);
  }

 private:
  std::mutex mutex_;
  TSeriesLoop* loop_ = nullptr;
  std::function<void()> on_signal_;
};

}  // namespace

int RunConsoleSeries(TSeriesLoop& loop, const std::vector<std::unique_ptr<TConsoleSeries>>& series,
                     bool* abandoned, const std::vector<Text>& unstarted) {
  *abandoned = false;
  TServiceNotifier notifier;
  loop.SetHeartbeat(notifier.WatchdogPeriod(), [&notifier] { notifier.Watchdog(); });

  // The signals to take are those blocked for the series; one ignored at start is not among
  // them and stays ignored.
  sigset_t wanted;
  sigemptyset(&wanted);
  sigset_t blocked;
  pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
  for (int s : {SIGINT, SIGTERM, SIGHUP})
    if (sigismember(&blocked, s) == 1) sigaddset(&wanted, s);
  bool signalled = false;
  auto relay = std::make_shared<TSignalRelay>();
  relay->Attach(&loop, [&signalled] { signalled = true; });
  std::thread([relay, wanted] {
    for (;;) {
      int signal_number = 0;
      if (sigwait(&wanted, &signal_number) == 0) relay->Deliver();
    }
  }).detach();

  bool stopping = false;
  auto all_ended = [&] {
    return std::all_of(series.begin(), series.end(), [](const auto& s) { return s->Ended(); });
  };
  auto end_all = [&] {
    if (!stopping) notifier.Stopping();
    stopping = true;
    for (const auto& one : series) one->BeginEnding();
  };

  auto update_status = [&] {
    if (notifier.Enabled())
      notifier.Status(series.size() == 1 && unstarted.empty()
                          ? series[0]->StatusText()
                          : CamerasStatusText(series, unstarted));
  };
  for (const auto& one : series) one->SetChanged(update_status);
  int started = 0;
  for (const auto& one : series) started += one->Begin() ? 1 : 0;
  if (started > 0) {
    notifier.Ready();
    update_status();
    // A service manager sends one signal and waits only a few seconds: the first one ends.
    loop.Run([&] { return signalled || all_ended(); },
             [&] {
               if (signalled || output_gone) end_all();
               if (!stopping && all_ended()) {
                 notifier.Stopping();
                 stopping = true;
               }
             });
    if (!stopping) notifier.Stopping();
    if (signalled) {
      end_all();
      // The fetches in flight are abandoned as closing the window abandons them: nothing
      // partial is stored, their pictures are not kept. All are asked at once, then waited for.
      const auto deadline = std::chrono::steady_clock::now() + kStopGrace;
      for (const auto& one : series) one->RequestStop();
      for (const auto& one : series) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (!one->Shutdown(std::max(left, std::chrono::milliseconds(0)))) *abandoned = true;
      }
      // A job that was already writing when the signal came has finished its file: say so.
      if (!*abandoned) loop.RunPending();
    }
  }
  relay->Attach(nullptr, {});
  int status = 0;
  for (const auto& one : series) status = std::max(status, one->ExitStatus());
  return status;
}

}  // namespace tessaly
