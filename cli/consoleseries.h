// Capture series without a window: each a series of the capture core on one shared loop, one
// printed line per job (led by the camera's name when there are several), and the ending by a
// count of stored pictures, by failures in a row or by a signal.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "capture/job/jobcontext.h"
#include "capture/series/series.h"
#include "capture/series/seriesloop.h"
#include "cli/serieslog.h"
#include "watch/camerawatch.h"

namespace tessaly {

struct TSeriesOptions {
  int64_t Count = 0;        // stored pictures after which the series ends; 0: no end
  bool Quiet = false;       // print the failed jobs only
  int64_t MaxFailures = 0;  // failed jobs in a row after which the series ends; 0: no end
};

// The exit status of a series ended by MaxFailures.
inline constexpr int kExitTooManyFailures = 3;

class TConsoleSeries final : public TSeriesObserver {
 public:
  // name leads each of its lines; "" for a lone series. retention, when given, is the one of
  // settings, kept as long as the series.
  TConsoleSeries(TSeriesLoop& loop, TSeriesSettings settings, TSeriesOptions options, Text name,
                 std::unique_ptr<TRetention> retention = nullptr);
  // Runs on the loop thread whenever the series' state or status line may have changed.
  void SetChanged(std::function<void()> changed) { changed_ = std::move(changed); }
  // Told of its fetches, removals and state from Begin on (the watcher outlives the series).
  void SetWatcher(TCameraWatcher* watcher) { watcher_ = watcher; }

  ~TConsoleSeries() override;
  // Loop thread. Starts the series, or at the instant SetBeginAt gave when that is still ahead;
  // false, the reason printed, when it cannot.
  bool Begin();
  bool Begun() const { return begun_; }
  // The first fetch falls at when, not at once: the tick of the series this one replaces.
  void SetBeginAt(TSeriesClock::TTime when) { begin_at_ = when; }
  // The instant the series' next tick falls, when one is pending.
  std::optional<TSeriesClock::TTime> NextTick() const {
    return begin_at_ ? begin_at_ : series_.Schedule().NextWake();
  }
  // Loop thread. No further job starts; the running one finishes, stores and reports.
  void BeginEnding();
  // Abandons a running job as closing the window does (nothing partial is stored) and waits up
  // to grace for it; false when one was let run on alone.
  bool Shutdown(std::chrono::milliseconds grace) { return series_.Shutdown(grace); }
  void RequestStop() { series_.RequestStop(); }
  // Loop thread. Ends the series at once without waiting: a running job is abandoned and
  // reaches nobody; the series may then be destroyed (its job, if still running, runs on alone).
  void Retire();
  bool Ended() const { return ending_ && !series_.JobRunning(); }
  // 0, 1 when the series could not start or its counter reached the largest value, or
  // kExitTooManyFailures.
  int ExitStatus() const { return status_; }
  bool Paused() const { return paused_until_.has_value(); }
  bool Failing() const { return failures_in_row_ > 0 || status_ != 0; }
  const Text& Name() const { return name_; }
  bool Insecure() const { return insecure_; }
  // The one line the service manager shows for the series.
  Text StatusText() const;
  // The state its watcher is told of.
  TCameraStateNote State() const;
  const Text& Directory() const { return directory_; }

  // Removals are printed also when quiet (with a priority): a file gone must never go unsaid.
  void Kept(const TKeepingNote& note) override;
  void Outcome(const TJobOutcome& outcome, int32_t counter, int64_t ms) override;
  void JobEnded(int32_t counter) override;
  void Paused(std::time_t now, std::time_t until) override;
  void Opened() override;
  void Held(std::time_t until, const Text& why) override;
  void SourceSaid(const Text& line, bool trouble) override;

 private:
  bool StartSeries();
  // Calls that the series posts to the loop run only while it lives.
  void PostAlive(std::function<void()> fn);

  // What the last stored picture or the last failure was, and when.
  struct TLastJob {
    TJobOutcome Outcome;
    Text Stamp;
  };

  // StatusText without the trust's note.
  Text StateText() const;
  // changed_, and the watcher told of the state.
  void Changed();
  // The watcher told of the state when it is not the one it was last told.
  void TellState();
  void OnOutcome(const TJobOutcome& outcome, const Text& stamp, int64_t ms);
  void CountFailure(const TJobOutcome& outcome, const Text& stamp);
  void OnStartError(const Text& error);
  // The camera's name, then stamp + " " + text, or text with the journal's priority prefix
  // when standard output is the journal. Lines with a priority (failures) are printed also
  // when quiet; stored ones count toward Count.
  void Print(const Text& stamp, const Text& text, int priority, bool stored = false);
  // A line on standard error, with its priority when that is the journal.
  void Complain(int priority, const Text& message);

  TSeriesLoop& loop_;
  TSeriesOptions options_;
  const Text name_;
  const Text directory_;
  const bool insecure_;
  std::function<void()> changed_ = [] {};
  TCameraWatcher* watcher_ = nullptr;
  std::optional<TCameraStateNote> told_;  // the state the watcher was told last
  std::shared_ptr<int> alive_ = std::make_shared<int>();
  // Before series_, so that it goes after the series.
  std::unique_ptr<TRetention> retention_;
  TSeries series_;
  bool begun_ = false;
  std::optional<TSeriesClock::TTime> begin_at_;  // while it waits for its first tick
  uint64_t begin_key_ = 0;
  int status_ = 0;
  int64_t stored_ = 0;
  int64_t failures_in_row_ = 0;
  std::time_t failing_since_ = 0;
  int64_t unchanged_in_row_ = 0;
  std::optional<TLastJob> last_stored_;
  std::optional<TLastJob> last_failure_;
  std::optional<Text> paused_until_;  // the stamp, while outside the active hours
  std::time_t paused_until_time_ = 0;
  bool ending_ = false;
  TFailureFold fold_;
  const bool journal_out_ = IsJournalStream(1);
  const bool journal_err_ = IsJournalStream(2);
};

// What RunConsoleSeries runs, and what it leaves.
struct TConsoleRun {
  std::vector<std::unique_ptr<TConsoleSeries>> Series;
  // The cameras that could not be made ready; they count as failing.
  std::vector<Text> Unstarted;
  // Why each of Unstarted could not be made ready, by name.
  std::map<Text, Text> UnstartedWhy;
  // Told of every camera's series, and of the unstarted ones; none when null.
  TCameraWatcher* Watcher = nullptr;
  // Under a service manager, at SIGHUP (systemctl reload), on the loop thread: reads the
  // settings again and changes Series and Unstarted (a series it adds is begun after it; one it
  // removes it must Retire first). Null: SIGHUP ends the series as SIGTERM does.
  std::function<void(TConsoleRun& run)> Reload;
  // Out: a job could not be stopped in time (the process must then end without running static
  // destructors).
  bool Abandoned = false;
  // Out: a signal ended the series.
  bool Signalled = false;
};

// Runs the series on loop to their end. Those of SIGINT, SIGTERM and SIGHUP that are to end
// them must be blocked in every thread before: the first ends them all at once, a running job
// abandoned within half a second (SIGHUP reloads instead when run.Reload is given). A service
// manager hears of it all. Answers the exit status: 0 when every series ended well, also after a
// signal, and after the service manager's signal whatever state the series were in; else the
// worst one's (an unstarted camera's is 1 or more and is the caller's to count).
int RunConsoleSeries(TSeriesLoop& loop, TConsoleRun& run);

// True under a service manager that listens (NOTIFY_SOCKET, as the units of the package set):
// SIGHUP then reloads, and a stop it asks for ends in success.
bool UnderListeningServiceManager();

// The service manager's line for several series: how many run, pause and fail, and which fail.
Text CamerasStatusText(const std::vector<std::unique_ptr<TConsoleSeries>>& series,
                       const std::vector<Text>& unstarted = {});

}  // namespace tessaly
