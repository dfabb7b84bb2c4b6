// What a series keeps of its own pictures: by age, by their total size and by the free space
// left on the file system. Only the catalog decides what is the series': a picture is removed
// only when its row is the series' and the file at its name is still the one catalogued (same
// inode and size). The oldest by the time stored goes first.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "base/text.h"
#include "capture/store/catalog.h"

namespace tessaly {

struct TRetentionRules {
  int64_t KeepForSeconds = -1;  // remove pictures older than this; -1: no such rule
  int64_t KeepBytes = -1;       // the pictures together never take more; -1: no such rule
  int64_t MinFreeBytes = -1;    // free space left after a store; -1: no such rule
  bool Any() const { return KeepForSeconds >= 0 || KeepBytes >= 0 || MinFreeBytes >= 0; }
};

// A picture removed, or one that could not be (Error saying why; its row stays and it is
// tried again at the next store).
struct TRemoval {
  Text Path;
  int64_t Bytes = 0;
  Text Error;
};

// What a series finds at its start.
struct TSeriesStart {
  std::optional<int32_t> HighestCounter;  // the highest catalogued number
  // The series' first run: pictures of its name the directory already holds; -1 after that.
  int64_t Uncatalogued = -1;
  // The directory has another device or inode than the one stored in, and none of the
  // catalogued pictures: nothing is stored there.
  bool NotItsDirectory = false;
};

class TRetention {
 public:
  // dir: the series' directory, ending with "/"; address: the series' address.
  TRetention(TCatalog& catalog, TRetentionRules rules, Text dir, const Text& address);

  // Finds or makes the series in the catalog and checks that the directory is the one it
  // stored in; a directory moved or restored whole (some of its newest catalogued pictures
  // are there) is taken as the series' own. False, error saying why, when the catalog fails.
  bool Start(TSeriesStart& start, Text& error);
  // The directory the series stores in, as catalogued.
  TDirectoryIdentity Directory() const { return series_.Directory; }

  // Before a picture of incoming bytes is stored at now (seconds since the epoch): removes,
  // through the directory open at dir_fd, what the rules say must go, each removal and each
  // failed one into removed. Answers 0, or the errno value the store must fail with (why then
  // says more): EFBIG when the picture alone passes KeepBytes, ENOSPC when the free space
  // stays short; nothing is removed for MinFreeBytes unless removing can reach it.
  int MakeRoom(int dir_fd, int64_t incoming, int64_t now, std::vector<TRemoval>& removed,
               Text& why);
  // The same with the system's clock. Does nothing (answers 0) without rules, or when the
  // directory at the path is not the series' one.
  int MakeRoom(int64_t incoming, std::vector<TRemoval>& removed, Text& why);
  // Catalogs a picture stored, its name synced, at path (in the directory) with counter at
  // now. False, error saying why, when it could not: the picture is then only ever kept.
  bool Stored(const Text& path, int32_t counter, int64_t bytes, int64_t now, Text& error);

  // The free bytes of the file system of the directory open at dir_fd; replaceable for tests.
  std::function<int64_t(int dir_fd)> FreeBytes;

 private:
  enum class TFound { Ours, Gone, Unreadable };
  // What is at the picture's name: Ours when it is the catalogued file (stat filled in).
  TFound Look(int dir_fd, const TCatalogPicture& picture, struct stat& file, int& error);
  // Removes the picture when it is still ours; a row whose file has gone is forgotten. Answers
  // the catalogued bytes that left the series (0 when none did).
  int64_t RemoveOne(int dir_fd, const TCatalogPicture& picture, std::vector<TRemoval>& removed);
  // Calls visit with the pictures stored before stored_before, oldest first, while it says so.
  void Walk(int64_t stored_before, const std::function<bool(const TCatalogPicture&)>& visit);
  int FreeSpace(int dir_fd, int64_t incoming, std::vector<TRemoval>& removed, Text& why);

  TCatalog& catalog_;
  TRetentionRules rules_;
  Text dir_;
  Text name_;
  TCatalogSeries series_;
};

}  // namespace tessaly
