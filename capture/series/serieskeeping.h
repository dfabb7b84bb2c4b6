// What a series keeps of its own pictures, shared by the series and its jobs' workers: the last
// one stored (for SkipUnchanged) and, with a retention, room made before each store and a
// catalog row after it. What that did comes back as lines to print.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "base/text.h"
#include "capture/store/retention.h"

namespace tessaly {

// "removed PATH BYTES", "could not remove PATH: reason" or "could not catalog PATH: reason".
struct TKeepingNote {
  Text Line;
  bool Failed = false;
};

class TSeriesKeeping {
 public:
  // retention may be none (nothing is removed or catalogued); it outlives the keeping.
  explicit TSeriesKeeping(TRetention* retention) : retention_(retention) {}

  // Worker thread, before a body of bytes is stored: 0, or the errno the store fails with (why
  // then says more). Each removal, done or failed, is added to notes.
  int MakeRoom(int64_t bytes, Text& why, std::vector<TKeepingNote>& notes);
  // Worker thread: the picture at path, numbered counter, is stored and named. Its catalog row
  // is written (a failure added to notes), and it is the last stored from now on.
  void Stored(const Text& path, int32_t counter, int64_t bytes, std::vector<TKeepingNote>& notes);
  // Any thread: the last picture stored; "" before the first.
  Text LastStored() const;

 private:
  TRetention* const retention_;
  mutable std::mutex mutex_;
  Text last_stored_;
};

}  // namespace tessaly
