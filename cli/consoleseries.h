// A capture series without a window: the capture core's scheduler on the console's event loop,
// one printed line per job, and the ending by a count of stored pictures or by a signal.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "capture/activehours.h"
#include "capture/jobcontext.h"
#include "capture/retention.h"
#include "cli/consoleport.h"
#include "cli/serieslog.h"
#include "cli/servicenotify.h"

namespace tessaly {

struct TSeriesOptions {
  int64_t IntervalMs = 10000;       // 0: the jobs run back to back
  int64_t Count = 0;                // stored pictures after which the series ends; 0: no end
  bool Quiet = false;               // print the failed jobs only
  int64_t MaxFailures = 0;          // failed jobs in a row after which the series ends; 0: no end
  TActiveHours Hours;               // outside them nothing is fetched
  TJobOptions Job;                  // what the jobs keep; LastStored is the series' own business
  TRetention* Retention = nullptr;  // the series' own pictures: what is kept, what goes
  // The directory is not the one the series stored in: every job fails, until that one is back.
  bool NotItsDirectory = false;
};

// The exit status of a series ended by MaxFailures.
inline constexpr int kExitTooManyFailures = 3;

class TConsoleSeries {
 public:
  TConsoleSeries(TConsolePort& port, TSeriesOptions options) : port_(port), options_(options) {}

  // Starts the series with the port's settings and runs it to its end. Those of SIGINT, SIGTERM
  // and SIGHUP that the series is to take must be blocked in every thread before this is
  // called: the first ends the series at once, abandoning a running job within half a second.
  // Answers the exit status: 0 (also after a signal), 1 when the series could not start or its
  // counter reached the largest value, or kExitTooManyFailures. A service manager hears of it
  // all.
  int Run();
  // True when Run left a job running that could not be stopped in time; the process must then
  // end without running static destructors.
  bool JobAbandoned() const { return job_abandoned_; }

 private:
  class TSignalRelay;
  // What the last stored picture or the last failure was, and when.
  struct TLastJob {
    TJobOutcome Outcome;
    Text Stamp;
  };

  void RunReportedJob(TJobContext& job);
  // Worker thread: what retention removes before a store, each removal printed.
  int MakeRoom(int64_t bytes, Text& why);
  void StartJob();
  void OnOutcome(const TJobOutcome& outcome, const Text& stamp, int64_t ms);
  void CountFailure(const TJobOutcome& outcome, const Text& stamp);
  // stamp + " " + text, or text with the journal's priority prefix when standard output is
  // the journal. Lines with a priority (failures) are printed also when quiet; stored ones
  // count toward Count.
  void Print(const Text& stamp, const Text& text, int priority, bool stored = false);
  // A line on standard error, with its priority when that is the journal.
  void Complain(int priority, const Text& message);
  void OnSignal();
  void BeginEnding();
  // The one line the service manager shows for the series.
  Text StatusText() const;
  void UpdateStatus() { notifier_.Status(StatusText()); }

  TConsolePort& port_;
  TSeriesOptions options_;
  TServiceNotifier notifier_;
  class TScheduler* scheduler_ = nullptr;
  int64_t stored_ = 0;
  int64_t failures_in_row_ = 0;
  std::optional<TLastJob> last_stored_;
  std::optional<TLastJob> last_failure_;
  std::optional<Text> paused_until_;  // the stamp, while outside the active hours
  // The last picture stored, written and read by the jobs' workers.
  std::mutex last_picture_mutex_;
  Text last_picture_;
  bool ending_ = false;
  bool too_many_failures_ = false;
  bool counter_spent_ = false;
  bool signalled_ = false;
  TFailureFold fold_;
  const bool journal_out_ = IsJournalStream(1);
  const bool journal_err_ = IsJournalStream(2);
  bool job_abandoned_ = false;
};

}  // namespace tessaly
