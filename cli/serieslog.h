// How the series' lines read where an administrator reads them: the journal's priorities when
// a stream is the journal's, and a failure that repeats folded into a line now and then.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>

#include "base/text.h"

namespace tessaly {

// True when fd is the stream systemd connected to the journal (JOURNAL_STREAM names its device
// and inode); a stream redirected elsewhere by the service itself is not.
bool IsJournalStream(int fd);

// Priorities of the journal's stream protocol ("<4>" before a line).
inline constexpr int kPriorityError = 3;
inline constexpr int kPriorityWarning = 4;
inline constexpr int kPriorityNotice = 5;
inline constexpr int kPriorityInfo = 6;
// "<4>" for kPriorityWarning.
Text PriorityPrefix(int priority);

// Folds a run of identical failures: the first three are printed as they come, then one line
// when the count has doubled or an hour has passed since the last one; a fetch that succeeds
// after folded failures gets a line of its own.
class TFailureFold {
 public:
  struct TVerdict {
    bool Print = true;         // print the job's own line
    std::optional<Text> Line;  // instead, this line (without its time stamp)
  };
  TVerdict Failed(const Text& reason, std::time_t now);
  // The line that says the failures are over, when any were folded.
  std::optional<Text> Succeeded();

 private:
  Text reason_;
  int64_t count_ = 0;
  std::time_t since_ = 0;
  int64_t told_count_ = 0;  // the count at the last line printed
  std::time_t told_at_ = 0;
};

}  // namespace tessaly
