// Capture series without a window: each a series of the capture core on one shared loop, one
// printed line per job (led by the camera's name when there are several), and the ending by a
// count of stored pictures, by failures in a row or by a signal.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "capture/job/jobcontext.h"
#include "capture/series/series.h"
#include "capture/series/seriesloop.h"
#include "cli/serieslog.h"

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
  // name leads each of its lines; "" for a lone series.
  TConsoleSeries(TSeriesLoop& loop, TSeriesSettings settings, TSeriesOptions options, Text name);
  // Runs on the loop thread whenever the series' state or status line may have changed.
  void SetChanged(std::function<void()> changed) { changed_ = std::move(changed); }

  // Loop thread. Starts the series; false, the reason printed, when it cannot.
  bool Begin();
  // Loop thread. No further job starts; the running one finishes, stores and reports.
  void BeginEnding();
  // Abandons a running job as closing the window does (nothing partial is stored) and waits up
  // to grace for it; false when one was let run on alone.
  bool Shutdown(std::chrono::milliseconds grace) { return series_.Shutdown(grace); }
  void RequestStop() { series_.RequestStop(); }
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

  // Removals are printed also when quiet (with a priority): a file gone must never go unsaid.
  void Kept(const TKeepingNote& note) override;
  void Outcome(const TJobOutcome& outcome, int32_t counter, int64_t ms) override;
  void JobEnded(int32_t counter) override;
  void Paused(std::time_t now, std::time_t until) override;
  void Opened() override;
  void Held(std::time_t until, const Text& why) override;

 private:
  // What the last stored picture or the last failure was, and when.
  struct TLastJob {
    TJobOutcome Outcome;
    Text Stamp;
  };

  // StatusText without the trust's note.
  Text StateText() const;
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
  const bool insecure_;
  std::function<void()> changed_ = [] {};
  TSeries series_;
  int status_ = 0;
  int64_t stored_ = 0;
  int64_t failures_in_row_ = 0;
  std::optional<TLastJob> last_stored_;
  std::optional<TLastJob> last_failure_;
  std::optional<Text> paused_until_;  // the stamp, while outside the active hours
  bool ending_ = false;
  TFailureFold fold_;
  const bool journal_out_ = IsJournalStream(1);
  const bool journal_err_ = IsJournalStream(2);
};

// Runs the series on loop to their end. Those of SIGINT, SIGTERM and SIGHUP that are to end
// them must be blocked in every thread before: the first ends them all at once, a running job
// abandoned within half a second. A service manager hears of it all. Answers the exit status:
// 0 when every series ended well (also after a signal), else the worst one's; *abandoned is
// true when a job could not be stopped in time (the process must then end without running
// static destructors).
// unstarted names the cameras that could not be made ready; they count as failing.
int RunConsoleSeries(TSeriesLoop& loop, const std::vector<std::unique_ptr<TConsoleSeries>>& series,
                     bool* abandoned, const std::vector<Text>& unstarted = {});

// The service manager's line for several series: how many run, pause and fail, and which fail.
Text CamerasStatusText(const std::vector<std::unique_ptr<TConsoleSeries>>& series,
                       const std::vector<Text>& unstarted = {});

}  // namespace tessaly
