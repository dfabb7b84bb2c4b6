#include "cli/consoleseries.h"

#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "cli/jobline.h"
#include "cli/servicenotify.h"

namespace tessaly {
namespace {

// How long a signal lets the running jobs take to notice that they should stop: the program
// ends within a second, well inside a service manager's stop time-out.
constexpr std::chrono::milliseconds kStopGrace{500};

// The same picture this many times in a row is a frozen camera, not a still scene's chance.
constexpr int64_t kFrozenAfter = 3;

// The reader of standard output has gone (`| head -3`): every series ends as at a signal.
bool output_gone = false;

}  // namespace

TConsoleSeries::TConsoleSeries(TSeriesLoop& loop, TSeriesSettings settings, TSeriesOptions options,
                               Text name, std::unique_ptr<TRetention> retention)
    : loop_(loop),
      options_(std::move(options)),
      name_(std::move(name)),
      directory_(settings.Directory),
      insecure_(settings.Tls.Insecure),
      retention_(std::move(retention)),
      series_(loop, std::move(settings), *this) {
  series_.OnStartError = [this](const Text& error) { OnStartError(error); };
}

void TConsoleSeries::PostAlive(std::function<void()> fn) {
  loop_.Post([alive = std::weak_ptr<int>(alive_), fn = std::move(fn)] {
    if (alive.lock()) fn();
  });
}

void TConsoleSeries::Retire() {
  ending_ = true;
  series_.RequestStop();
  series_.Shutdown(std::chrono::milliseconds(0));
}

TConsoleSeries::~TConsoleSeries() {
  if (begin_key_ != 0) loop_.CancelWake(begin_key_);
}

bool TConsoleSeries::Begin() {
  begun_ = true;
  if (watcher_ != nullptr) watcher_->Began(name_, directory_);
  if (begin_at_ && *begin_at_ > std::chrono::steady_clock::now()) {
    begin_key_ = NewWakeKey();
    loop_.WakeAt(begin_key_, *begin_at_, [this] {
      begin_at_.reset();
      StartSeries();
      Changed();
    });
    TellState();
    return true;
  }
  begin_at_.reset();
  const bool started = StartSeries();
  TellState();
  return started;
}

bool TConsoleSeries::StartSeries() {
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
  paused_until_time_ = until;
  Changed();
  // Also when quiet: a series that fetches nothing for hours must say why where it is read.
  Print(LocalTimeStamp(now), "paused until " + *paused_until_, kPriorityNotice);
}

void TConsoleSeries::Held(std::time_t until, const Text& why) {
  Print(LocalTimeStamp(std::time(nullptr)),
        "busy, no request until " + LocalTimeStamp(until) + " (" + why + ")", kPriorityNotice);
}

void TConsoleSeries::SourceSaid(const Text& line, bool trouble) {
  // Also when quiet: a lost session is news even before a tick fails on it.
  Print(LocalTimeStamp(std::time(nullptr)), line, trouble ? kPriorityWarning : kPriorityNotice);
}

void TConsoleSeries::Opened() {
  paused_until_.reset();
  Changed();
  Print(LocalTimeStamp(std::time(nullptr)), "active hours open: fetching again", kPriorityNotice);
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
  PostAlive([this, outcome, stamp, ms] { OnOutcome(outcome, stamp, ms); });
}

void TConsoleSeries::JobEnded(int32_t counter) {
  // A series that ended while its last job ran (its count reached) has ended only now; the
  // service's status line has said so already.
  if (ending_) TellState();
  // The next number would wrap to the lowest: the series ends rather than sort out of order.
  if (counter != INT32_MAX || status_ != 0) return;
  Complain(kPriorityError,
           "the counter has reached its largest value, 2147483647; ending the series");
  status_ = 1;
  BeginEnding();
}

void TConsoleSeries::Kept(const TKeepingNote& note) {
  const int priority = note.Failed ? kPriorityWarning : kPriorityNotice;
  PostAlive([this, stamp = LocalTimeStamp(std::time(nullptr)), note, priority] {
    Print(stamp, note.Line, priority);
    if (note.Removed && watcher_ != nullptr) watcher_->Removed(name_, note.Path, note.Bytes);
  });
}

void TConsoleSeries::OnOutcome(const TJobOutcome& outcome, const Text& stamp, int64_t ms) {
  const bool stored = outcome.Kind == TJobOutcome::TKind::Stored;
  // An unchanged picture is an answer too: the camera is there, only its picture stands still.
  const bool failed = !stored && outcome.Kind != TJobOutcome::TKind::Unchanged;
  if (stored) last_stored_ = TLastJob{outcome, stamp};
  unchanged_in_row_ = outcome.Kind == TJobOutcome::TKind::Unchanged ? unchanged_in_row_ + 1 : 0;
  if (watcher_ != nullptr) watcher_->Fetched(name_, outcome, std::time(nullptr), ms);
  if (!failed) {
    failures_in_row_ = 0;
    Changed();
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
  if (failures_in_row_++ == 0) failing_since_ = std::time(nullptr);
  last_failure_ = TLastJob{outcome, stamp};
  Changed();
  if (options_.MaxFailures > 0 && failures_in_row_ >= options_.MaxFailures && !ending_) {
    Complain(kPriorityError,
             IntToText(failures_in_row_) + " failed fetches in a row, ending the series");
    status_ = kExitTooManyFailures;
    BeginEnding();
  }
}

TCameraStateNote TConsoleSeries::State() const {
  TCameraStateNote note;
  // Ending is as good as ended: the last job's end calls no Changed, so a series that reached
  // its count while that job was still winding down would stay "running" to its watcher.
  if (ending_) {
    note.State = TCameraState::Ended;
    if (status_ != 0 && last_failure_) note.Detail = last_failure_->Outcome.Reason;
  } else if (paused_until_) {
    note.State = TCameraState::Paused;
    note.Until = paused_until_time_;
  } else if (failures_in_row_ > 0) {
    note.State = TCameraState::Failing;
    note.Detail = last_failure_->Outcome.Reason;
    note.Since = failing_since_;
  } else if (unchanged_in_row_ >= kFrozenAfter) {
    note.State = TCameraState::Frozen;
    note.Detail = IntToText(unchanged_in_row_);
  }
  return note;
}

void TConsoleSeries::Changed() {
  changed_();
  TellState();
}

void TConsoleSeries::TellState() {
  if (watcher_ == nullptr) return;
  const TCameraStateNote now = State();
  // A frozen camera's count grows at every tick: only its start is news.
  const bool same = told_ && told_->State == now.State && told_->Since == now.Since &&
                    told_->Until == now.Until &&
                    (now.State == TCameraState::Frozen || told_->Detail == now.Detail);
  if (same) return;
  told_ = now;
  watcher_->StateChanged(name_, now);
}

Text TConsoleSeries::StatusText() const {
  const Text text = StateText();
  return insecure_ ? text + "; certificate not verified (--insecure)" : text;
}

Text TConsoleSeries::StateText() const {
  Text stored_text;
  if (last_stored_)
    stored_text = "last stored " + last_stored_->Outcome.Path + " (" +
                  IntToText(last_stored_->Outcome.Bytes) + " bytes) at " + last_stored_->Stamp;
  // The last failure beside it, also after the series has recovered: a camera that fails now
  // and then shows it.
  if (failures_in_row_ == 0 && last_failure_)
    stored_text += (last_stored_ ? "; " : "") + Text("last failed at ") + last_failure_->Stamp +
                   ": " + last_failure_->Outcome.Reason;
  if (begin_at_) return "settings reloaded, the first fetch with them at the next tick";
  if (paused_until_)
    return "paused until " + *paused_until_ + (stored_text.empty() ? Text() : "; " + stored_text);
  if (failures_in_row_ == 0)
    return !stored_text.empty() ? stored_text : Text("started, the first fetch is running");
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
  // One still waiting for its first tick never begins.
  if (begin_key_ != 0) loop_.CancelWake(begin_key_);
  begin_at_.reset();
  series_.Stop();
  Changed();
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
  if (!failing.empty()) text += " (" + failing + ")";
  const auto insecure =
      std::count_if(series.begin(), series.end(), [](const auto& one) { return one->Insecure(); });
  if (insecure > 0)
    text += "; " + IntToText(static_cast<int64_t>(insecure)) + " without certificate verification";
  return text;
}

bool UnderListeningServiceManager() {
  const char* socket = std::getenv("NOTIFY_SOCKET");
  return socket != nullptr && *socket != '\0';
}

namespace {

// Carries signals from the thread that waits for them onto the loop, as long as the series run;
// the waiting thread outlives them.
class TSignalRelay {
 public:
  void Attach(TSeriesLoop* loop, std::function<void(int)> on_signal) {
    std::lock_guard lock(mutex_);
    loop_ = loop;
    on_signal_ = std::move(on_signal);
  }
  void Deliver(int signal_number) {
    std::lock_guard lock(mutex_);
    if (loop_) loop_->Post([fn = on_signal_, signal_number] { fn(signal_number); });
  }

 private:
  std::mutex mutex_;
  TSeriesLoop* loop_ = nullptr;
  std::function<void(int)> on_signal_;
};

}  // namespace

int RunConsoleSeries(TSeriesLoop& loop, TConsoleRun& run) {
  run.Abandoned = false;
  auto& series = run.Series;
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
  bool reload_asked = false;
  const bool reloads = run.Reload && UnderListeningServiceManager();
  auto relay = std::make_shared<TSignalRelay>();
  relay->Attach(&loop, [&](int signal_number) {
    if (signal_number == SIGHUP && reloads)
      reload_asked = true;
    else
      signalled = true;
  });
  std::thread([relay, wanted] {
    for (;;) {
      int signal_number = 0;
      if (sigwait(&wanted, &signal_number) == 0) relay->Deliver(signal_number);
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
      notifier.Status(series.size() == 1 && run.Unstarted.empty()
                          ? series[0]->StatusText()
                          : CamerasStatusText(series, run.Unstarted));
  };
  // The cameras the watcher was told of, series or unstarted.
  std::set<Text> watched;
  auto tell_unstarted = [&] {
    if (run.Watcher == nullptr) return;
    for (const Text& name : run.Unstarted) {
      TCameraStateNote note;
      note.State = TCameraState::NotStarted;
      if (auto why = run.UnstartedWhy.find(name); why != run.UnstartedWhy.end())
        note.Detail = why->second;
      run.Watcher->StateChanged(name, note);
      watched.insert(name);
    }
  };
  // Every series not begun yet; the number that started.
  auto begin_new = [&] {
    int started = 0;
    for (const auto& one : series) {
      if (one->Begun()) continue;
      one->SetChanged(update_status);
      one->SetWatcher(run.Watcher);
      watched.insert(one->Name());
      started += one->Begin() ? 1 : 0;
    }
    return started;
  };
  auto reload = [&] {
    reload_asked = false;
    notifier.Reloading();
    run.Reload(run);
    if (run.Watcher != nullptr) {
      std::set<Text> now(run.Unstarted.begin(), run.Unstarted.end());
      for (const auto& one : series) now.insert(one->Name());
      for (const Text& name : watched)
        if (now.count(name) == 0) run.Watcher->Gone(name);
      watched.clear();
      for (const auto& one : series)
        if (one->Begun()) watched.insert(one->Name());
    }
    tell_unstarted();
    begin_new();
    notifier.Ready();
    update_status();
  };
  tell_unstarted();
  if (begin_new() > 0) {
    notifier.Ready();
    update_status();
    // A service manager sends one signal and waits only a few seconds: the first one ends.
    loop.Run([&] { return signalled || all_ended(); },
             [&] {
               if (reload_asked && !signalled && !stopping) reload();
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
      // partial is stored, their pictures are not kept. All are asked at once, then waited for
      // within one grace together.
      const auto deadline = std::chrono::steady_clock::now() + kStopGrace;
      for (const auto& one : series) one->RequestStop();
      for (const auto& one : series) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (!one->Shutdown(std::max(left, std::chrono::milliseconds(0)))) run.Abandoned = true;
      }
      // A job that was already writing when the signal came has finished its file: say so.
      if (!run.Abandoned) loop.RunPending();
    }
  }
  relay->Attach(nullptr, {});
  run.Signalled = signalled;
  // The service manager asked for the stop: it ends well, whatever the cameras did meanwhile
  // (the status line told of them).
  if (signalled && UnderListeningServiceManager()) return 0;
  int status = 0;
  for (const auto& one : series) status = std::max(status, one->ExitStatus());
  return status;
}

}  // namespace tessaly
