// The catalog of what the console series stored: one SQLite file per user, a row per series and
// a row per stored picture. Retention and the counter read it; a picture without a row is never
// the series' to remove. Several processes may share the file (write-ahead log, busy waits).
#pragma once

#include <sys/types.h>

#include <climits>
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <stop_token>
#include <vector>

#include "base/text.h"
#include "capture/job/seriesdirectory.h"

struct sqlite3;

namespace tessaly {

// Where the catalog lives: $STATE_DIRECTORY (its first entry that is not empty) under the
// service, otherwise $XDG_STATE_HOME/tessaly/, by default ~/.local/state/tessaly/; the file is
// catalog.sqlite. "" when no home is known.
Text CatalogPath();

// The entries of a list like $STATE_DIRECTORY ("a:b:c") that are not empty.
std::vector<Text> StateEntries(const char* list);

struct TCatalogPicture {
  int64_t Id = 0;
  int32_t Counter = 0;
  Text File;  // the name in the series' directory
  int64_t Bytes = 0;
  int64_t Stored = 0;  // seconds since the epoch
  int64_t Inode = 0;
  // 1: an intent, written before the name appears; 2: being removed. 0: complete.
  int Pending = 0;
};

struct TCatalogSeries {
  int64_t Id = 0;
  bool Created = false;          // the row was made by this Open: the series' first run
  TDirectoryIdentity Directory;  // as first stored in (or as taken over since)
  Text Address;                  // the address it captures, without credentials; "" unknown
};

struct TCatalogSeriesName {
  int64_t Id = 0;
  Text Dir;
  Text Name;
};

// Makes the calls of this thread into any catalog give way when stop is requested: a busy wait
// for another process's write then ends at once (the call fails), for as long as it lives.
class TCatalogStopScope {
 public:
  explicit TCatalogStopScope(const std::stop_token* stop);
  ~TCatalogStopScope();

 private:
  const std::stop_token* previous_;
};

// One series, one process: a lock on the series (its directory and name) in a file beside the
// catalog, held as long as this lives, which a kill releases.
class TSeriesLock {
 public:
  TSeriesLock() = default;
  ~TSeriesLock();
  TSeriesLock(const TSeriesLock&) = delete;
  TSeriesLock& operator=(const TSeriesLock&) = delete;
  // False, error naming the process that holds it, when another process holds it.
  bool Take(const Text& lock_path, const Text& dir, const Text& name, Text& error);
  // The lock was not held in this process before: no job of this process is under way on
  // the series.
  bool First() const { return first_; }

 private:
  Text path_;
  off_t at_ = -1;
  bool first_ = false;
};

class TCatalog {
 public:
  TCatalog() = default;
  ~TCatalog();
  TCatalog(const TCatalog&) = delete;
  TCatalog& operator=(const TCatalog&) = delete;

  // Opens or creates the file at path (and its directory, for this user only). A file that
  // SQLite cannot read (not a database, malformed) is moved aside to PATH.broken-DATE and a new
  // one made; note then says so. False, error saying why, when it cannot be opened.
  bool Open(const Text& path, Text& error, Text* note = nullptr);
  const Text& Path() const { return path_; }
  // The series of directory dir (its full path) and name; made, with directory, when new.
  bool OpenSeries(const Text& dir, const Text& name, const TDirectoryIdentity& directory,
                  TCatalogSeries& series, Text& error);
  // Records that the series' directory is now this one.
  bool SetDirectory(int64_t series, const TDirectoryIdentity& directory);
  bool SetAddress(int64_t series, const Text& address);

  std::optional<int32_t> HighestCounter(int64_t series);
  // The catalogued pictures' bytes together.
  int64_t TotalBytes(int64_t series);
  // Up to limit complete pictures in the order stored, after the one (stored, id) given and
  // stored before stored_before, passing over those whose removal failed after failed_after;
  // each call runs on from where the last left off.
  std::vector<TCatalogPicture> Oldest(int64_t series, int64_t after_stored, int64_t after_id,
                                      int64_t stored_before, int limit,
                                      int64_t failed_after = INT64_MAX);
  // The series of directory dir (its full path) and name, without making it; 0 when the
  // catalog has none.
  int64_t FindSeries(const Text& dir, const Text& name);
  // Every series: id, directory (full path) and name, in the order they were made.
  std::vector<TCatalogSeriesName> AllSeries();
  // The complete pictures stored in [from, to).
  int64_t CountStored(int64_t series, int64_t from, int64_t to);
  // The newest pictures, up to limit.
  std::vector<TCatalogPicture> Newest(int64_t series, int limit);

  // Rows of the given Pending state (1 or 2).
  std::vector<TCatalogPicture> PendingRows(int64_t series);
  // Every file name of the series' rows.
  std::vector<Text> FileNames(int64_t series);

  // A complete row, its bytes counted.
  bool Add(int64_t series, const TCatalogPicture& picture, Text& error);
  // An intent: a row written before the picture's name appears (its bytes not yet counted);
  // id gets its row.
  bool Intend(int64_t series, const TCatalogPicture& picture, int64_t& id, Text& error);
  // The intent's picture is named and synced: the row becomes complete with the file's inode.
  bool Complete(int64_t series, int64_t id, int64_t bytes, int64_t inode, Text& error);
  // Drops an intent whose picture never got its name.
  bool Drop(int64_t id);
  // Marks a complete row as being removed (Pending 2), or back as complete.
  bool SetPending(int64_t id, int pending);
  bool Forget(int64_t series, const TCatalogPicture& picture);
  bool SetInode(const TCatalogPicture& picture, int64_t inode);
  // A removal of the picture failed at when, for why: retention passes it over for an hour.
  bool MarkFailed(const TCatalogPicture& picture, int64_t when, const Text& why);
  // Every failed removal of the series is tried again.
  bool ClearFailures(int64_t series);
  // SQLite's message for the last statement that failed.
  Text LastError() const;
  // Runs change (which answers whether it succeeded) as one transaction, or as part of the
  // one running; a failed change is rolled back.
  template <typename F>
  bool InOne(F change) {
    std::lock_guard lock(mutex_);
    if (!Idle()) return change();
    // A full disk may be the write-ahead log's doing: cut back to nothing, it leaves room.
    for (int attempt = 0;; ++attempt) {
      failed_.clear();
      if (!Run("BEGIN IMMEDIATE")) {
        Failed();
      } else {
        const bool done = change();
        if (done && Run("COMMIT")) return true;
        if (done || failed_.empty()) Failed();
        if (!Idle()) Run("ROLLBACK");
      }
      if (attempt > 0 || !Full()) return false;
    }
  }

 private:
  bool Run(const char* sql);
  // Keeps SQLite's message of the statement that failed, before a rollback replaces it; false.
  bool Failed();
  // The last failure was a full disk, and the write-ahead log has been cut back.
  bool Full();
  // No transaction is running.
  bool Idle() const;
  bool Migrate();
  std::vector<TCatalogPicture> Pictures(const char* sql, std::initializer_list<int64_t> values,
                                        int limit);

  std::recursive_mutex mutex_;
  sqlite3* db_ = nullptr;
  Text path_;
  Text failed_;
};

}  // namespace tessaly
