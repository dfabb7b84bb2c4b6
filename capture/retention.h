// What a series keeps of its own pictures: by age, by their total size and by the free space
// left on the file system. Only the series' index decides what is the series'; the oldest
// picture (lowest counter, then lowest copy) goes first.
#pragma once

#include <cstdint>
#include <vector>

#include "base/text.h"
#include "capture/seriesindex.h"

namespace tessaly {

struct TRetentionRules {
  int64_t KeepForSeconds = -1;  // remove pictures older than this; -1: no such rule
  int64_t KeepBytes = -1;       // the pictures together never take more; -1: no such rule
  int64_t MinFreeBytes = -1;    // free space left after a store; -1: no such rule
  bool Any() const { return KeepForSeconds >= 0 || KeepBytes >= 0 || MinFreeBytes >= 0; }
};

struct TRemoval {
  Text Path;
  int64_t Bytes = 0;
};

class TRetention {
 public:
  // index: scanned from dir, which ends with "/"; it must keep times when KeepForSeconds is set.
  TRetention(TSeriesIndex& index, TRetentionRules rules, Text dir)
      : index_(index), rules_(rules), dir_(std::move(dir)) {}

  // Before a picture of incoming bytes is stored at now (seconds since the epoch), with
  // free_bytes free on the file system: removes, through the directory open at dir_fd, what
  // the rules say must go, each one into removed. Never follows a link, never removes anything
  // but a regular file of the series. Answers 0, or the errno value the store must fail with:
  // EFBIG when the picture alone passes KeepBytes (nothing is removed then), ENOSPC when the
  // free space stays short with nothing of the series left.
  int MakeRoom(int dir_fd, int64_t incoming, int64_t now, int64_t free_bytes,
               std::vector<TRemoval>& removed);
  // The same with the system's clock and the directory's free space. Does nothing (answers 0)
  // without rules, or when the directory at the path is no longer the one indexed.
  int MakeRoom(int64_t incoming, std::vector<TRemoval>& removed);
  // Notes a picture stored at path (in the directory) at now.
  void Stored(const Text& path, int64_t bytes, int64_t now);

 private:
  int64_t RemoveOne(int dir_fd, const TSeriesIndex::TKey& key, std::vector<TRemoval>& removed);

  TSeriesIndex& index_;
  TRetentionRules rules_;
  Text dir_;
};

}  // namespace tessaly
