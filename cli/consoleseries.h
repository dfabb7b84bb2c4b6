// A capture series without a window: the capture core's scheduler on the console's event loop,
// one printed line per job, and the ending by a count of stored pictures or by a signal.
#pragma once

#include <cstdint>
#include <memory>

#include "capture/jobcontext.h"
#include "cli/consoleport.h"

namespace tessaly {

struct TSeriesOptions {
  int64_t IntervalMs = 10000;  // 0: the jobs run back to back
  int64_t Count = 0;           // stored pictures after which the series ends; 0: no end
  bool Quiet = false;          // print the failed jobs only
};

class TConsoleSeries {
 public:
  TConsoleSeries(TConsolePort& port, TSeriesOptions options) : port_(port), options_(options) {}

  // Starts the series with the port's settings and runs it to its end. SIGINT, SIGTERM and
  // SIGHUP must be blocked in every thread before this is called: the first lets the running
  // job finish and store, a second ends the series at once. Answers the exit status: 0, 1 when
  // the series could not start, 128 + the signal's number after a second signal.
  int Run();
  // True when Run left a job running that could not be stopped in time; the process must then
  // end without running static destructors.
  bool JobAbandoned() const { return job_abandoned_; }

 private:
  class TSignalRelay;
  void RunReportedJob(TJobContext& job);
  void Print(const Text& line, bool stored);
  void OnSignal(int signal_number);
  void BeginEnding();

  TConsolePort& port_;
  TSeriesOptions options_;
  class TScheduler* scheduler_ = nullptr;
  int64_t stored_ = 0;
  bool ending_ = false;
  int signals_ = 0;
  int forced_by_ = 0;
  bool job_abandoned_ = false;
};

}  // namespace tessaly
