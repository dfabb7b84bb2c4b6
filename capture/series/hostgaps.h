// The gaps between requests to one camera that several series of a process share: a table
// keyed by host:port, consulted by every series that leaves busy cameras alone before its job
// starts (--min-gap).
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <optional>

#include "base/text.h"
#include "capture/series/seriesschedule.h"

namespace tessaly {

class THostGaps {
 public:
  using TTime = TSeriesClock::TTime;

  // The process' one table.
  static THostGaps& Process();

  // Requests to key keep at least gap between their starts from now on; the largest gap
  // declared for a key holds.
  void Declare(const Text& key, std::chrono::milliseconds gap);
  // A request to key would start at now: none when it may (it is then recorded as started),
  // else the instant from which it may. Any thread.
  std::optional<TTime> Claim(const Text& key, TTime now);

 private:
  struct TEntry {
    std::chrono::milliseconds Gap{0};
    std::optional<TTime> LastStart;
  };
  std::mutex mutex_;
  std::map<Text, TEntry> entries_;
};

}  // namespace tessaly
