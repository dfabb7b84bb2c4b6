// What a series keeps of its own pictures: by age, by their total size and by the free space
// left on the file system. Only the catalog decides what is the series': a picture is removed
// only when its row is the series' and the file at its name is still the one catalogued (same
// inode and size). The oldest by the time stored goes first.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <stop_token>
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

// A picture removed, or one that could not be (Error saying why; its row stays, marked, and it
// is tried again after an hour or at the next start).
struct TRemoval {
  Text Path;
  int64_t Bytes = 0;
  Text Error;
};

// A line a series' start or an adoption prints.
struct TStartNote {
  Text Line;
  bool Warning = false;
};

// What a series finds at its start.
struct TSeriesStart {
  // The highest number the series used: the catalogued one, or for a series with no row yet
  // the highest among the files of its name in its directory.
  std::optional<int32_t> HighestCounter;
  // The series' first run: pictures of its name the directory already holds; -1 after that.
  int64_t Uncatalogued = -1;
  // The directory is on another file system than the one stored in, and holds none of the
  // catalogued pictures: nothing is stored there.
  bool NotItsDirectory = false;
  std::vector<TStartNote> Notes;
};

class TRetention {
 public:
  // dir: the series' directory, ending with "/"; address: the series' address.
  TRetention(TCatalog& catalog, TRetentionRules rules, Text dir, const Text& address);

  // Takes the series' lock (one process per series), finds or makes the series in the
  // catalog, refuses another address than the one it captures, and checks that the directory
  // is the one it stored in: one moved or restored whole (some of its newest catalogued
  // pictures are there) or made anew on the same file system is taken as the series' own.
  // Then settles what a kill left: an intent whose file is named of its size becomes a
  // complete row, one without its file goes; and failed removals are tried again. False,
  // error saying why, when the series cannot start.
  bool Start(TSeriesStart& start, Text& error);
  // An administrator's taking over: the series (made when new) captures this address in this
  // directory from now on, and the files of its name there that no row knows are catalogued,
  // each said in lines.
  bool Adopt(std::vector<TStartNote>& lines, Text& error);
  // The directory the series stores in, as catalogued.
  TDirectoryIdentity Directory() const { return series_.Directory; }

  // Before a picture of incoming bytes is stored at now (seconds since the epoch): removes,
  // through the directory open at dir_fd, what the rules say must go, each removal and each
  // failed one into removed. Answers 0, or the errno value the store must fail with (why then
  // says more): EFBIG when the picture alone passes KeepBytes, ENOSPC when the free space
  // stays short; nothing is removed for MinFreeBytes unless removing can reach it.
  // A picture whose removal fails keeps its row, marked, and is passed over for an hour (or
  // until the next start); the next oldest is tried. A stop ends the pass between removals.
  int MakeRoom(int dir_fd, int64_t incoming, int64_t now, std::vector<TRemoval>& removed, Text& why,
               std::stop_token stop = {});
  // The same with the system's clock. Does nothing (answers 0) without rules, or when the
  // directory at the path is not the series' one.
  int MakeRoom(int64_t incoming, std::vector<TRemoval>& removed, Text& why,
               std::stop_token stop = {});
  // Before the picture of counter gets its name path: its intent is written (id gets its
  // row). False, error being SQLite's own message, when it cannot be: nothing is stored then.
  bool Intend(const Text& path, int32_t counter, int64_t bytes, int64_t now, int64_t& id,
              Text& error);
  // The picture of the intent is named and synced: its row is complete.
  bool Named(int64_t id, const Text& path, int64_t bytes, Text& error);
  // The picture of the intent got no name.
  void Abandon(int64_t id);
  // Intend and Named at once, for a picture already stored.
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
  // Calls visit with the pictures stored before stored_before, oldest first, while it says so;
  // those whose removal failed after failed_after are passed over.
  void Walk(int64_t stored_before, const std::function<bool(const TCatalogPicture&)>& visit,
            int64_t failed_after = INT64_MAX);
  int FreeSpace(int dir_fd, int64_t incoming, int64_t now, std::vector<TRemoval>& removed,
                Text& why, const std::stop_token& stop);
  // Finds the series (made when new) by the directory's full path, under its lock.
  bool Find(Text& full, Text& error);
  // The directory is now this one: rows take on the inodes of their files, rows without one go.
  void TakeOver(int dir_fd, const TDirectoryIdentity& now);
  // Settles the intents and removals a kill left open.
  void Settle(int dir_fd);

  TCatalog& catalog_;
  TRetentionRules rules_;
  Text dir_;
  Text name_;
  Text address_;  // without credentials
  TCatalogSeries series_;
  TSeriesLock lock_;
  int64_t now_ = 0;  // the time of the pass under way
};

}  // namespace tessaly
