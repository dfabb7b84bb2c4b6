#include "capture/series/serieskeeping.h"

#include <ctime>

namespace tessaly {

int TSeriesKeeping::MakeRoom(int64_t bytes, Text& why, std::vector<TKeepingNote>& notes) {
  why.clear();
  if (!retention_) return 0;
  std::vector<TRemoval> removed;
  const int refused = retention_->MakeRoom(bytes, removed, why);
  for (const TRemoval& removal : removed)
    notes.push_back(
        removal.Error.empty()
            ? TKeepingNote{"removed " + removal.Path + " " + IntToText(removal.Bytes)}
            : TKeepingNote{"could not remove " + removal.Path + ": " + removal.Error, true});
  return refused;
}

void TSeriesKeeping::Stored(const Text& path, int32_t counter, int64_t bytes,
                            std::vector<TKeepingNote>& notes) {
  Text error;
  if (retention_ && !retention_->Stored(path, counter, bytes, std::time(nullptr), error))
    notes.push_back({"could not catalog " + path + ": " + error, true});
  std::lock_guard lock(mutex_);
  last_stored_ = path;
}

Text TSeriesKeeping::LastStored() const {
  std::lock_guard lock(mutex_);
  return last_stored_;
}

}  // namespace tessaly
