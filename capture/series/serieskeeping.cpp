#include "capture/series/serieskeeping.h"

#include <ctime>

namespace tessaly {
namespace {

TKeepingNote FailedNote(Text line) {
  TKeepingNote note;
  note.Line = std::move(line);
  note.Failed = true;
  return note;
}

}  // namespace

int TSeriesKeeping::MakeRoom(int64_t bytes, Text& why, std::vector<TKeepingNote>& notes,
                             std::stop_token stop) {
  why.clear();
  if (!retention_) return 0;
  std::vector<TRemoval> removed;
  const int refused = retention_->MakeRoom(bytes, removed, why, stop);
  for (const TRemoval& removal : removed) {
    if (!removal.Error.empty()) {
      notes.push_back(FailedNote("could not remove " + removal.Path + ": " + removal.Error));
      continue;
    }
    TKeepingNote note;
    note.Line = "removed " + removal.Path + " " + IntToText(removal.Bytes);
    note.Removed = true;
    note.Path = removal.Path;
    note.Bytes = removal.Bytes;
    notes.push_back(note);
  }
  return refused;
}

Text TSeriesKeeping::Intend(const Text& path, int32_t counter, int64_t bytes, int64_t& id) {
  Text error;
  id = 0;
  if (retention_ && !retention_->Intend(path, counter, bytes, std::time(nullptr), id, error))
    return error.empty() ? Text("unknown error") : error;
  return Text();
}

void TSeriesKeeping::Written(int64_t id, const Text& path, int64_t bytes, bool named,
                             std::vector<TKeepingNote>& notes) {
  if (!named) {
    if (retention_) retention_->Abandon(id);
    return;
  }
  Text error;
  if (retention_ && !retention_->Named(id, path, bytes, error))
    notes.push_back(FailedNote("could not catalog " + path + ": " + error));
  std::lock_guard lock(mutex_);
  last_stored_ = path;
}

Text TSeriesKeeping::LastStored() const {
  std::lock_guard lock(mutex_);
  return last_stored_;
}

}  // namespace tessaly
