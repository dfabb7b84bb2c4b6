// What a series keeps of its own pictures, shared by the series and its jobs' workers: the last
// one stored (for SkipUnchanged) and, with a retention, room made before each store and a
// catalog row after it. What that did comes back as lines to print.
#pragma once

#include <cstdint>
#include <mutex>
#include <stop_token>
#include <vector>

#include "base/text.h"
#include "capture/store/retention.h"

namespace tessaly {

// "removed PATH BYTES", "could not remove PATH: reason" or "could not catalog PATH: reason".
struct TKeepingNote {
  Text Line;
  bool Failed = false;
  // A removal done: the picture's path and size.
  bool Removed = false;
  Text Path;
  int64_t Bytes = 0;
};

class TSeriesKeeping {
 public:
  // retention may be none (nothing is removed or catalogued); it outlives the keeping.
  explicit TSeriesKeeping(TRetention* retention) : retention_(retention) {}

  // Worker thread, before a body of bytes is stored: 0, or the errno the store fails with (why
  // then says more). Each removal, done or failed, is added to notes.
  // A stop ends the removals between two.
  int MakeRoom(int64_t bytes, Text& why, std::vector<TKeepingNote>& notes,
               std::stop_token stop = {});
  // Worker thread, before the picture numbered counter gets the name path: its record (an
  // intent) is written, id getting its row. "" or SQLite's message why it cannot be.
  Text Intend(const Text& path, int32_t counter, int64_t bytes, int64_t& id);
  // Worker thread: the picture of the intent id is written (named) or not. Its row is
  // completed (a failure added to notes; the next start settles it) or dropped; a named one is
  // the last stored from now on.
  void Written(int64_t id, const Text& path, int64_t bytes, bool named,
               std::vector<TKeepingNote>& notes);
  // Any thread: the last picture stored; "" before the first.
  Text LastStored() const;

 private:
  TRetention* const retention_;
  mutable std::mutex mutex_;
  Text last_stored_;
};

}  // namespace tessaly
