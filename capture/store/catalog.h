// The catalog of what the console series stored: one SQLite file per user, a row per series and
// a row per stored picture. Retention and the counter read it; a picture without a row is never
// the series' to remove. Several processes may share the file (write-ahead log, busy waits).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <vector>

#include "base/text.h"
#include "capture/job/seriesdirectory.h"

struct sqlite3;

namespace tessaly {

// Where the catalog lives: $STATE_DIRECTORY (its first entry) under the service, otherwise
// $XDG_STATE_HOME/tessaly/, by default ~/.local/state/tessaly/; the file is catalog.sqlite.
// "" when no home is known.
Text CatalogPath();

struct TCatalogPicture {
  int64_t Id = 0;
  int32_t Counter = 0;
  Text File;  // the name in the series' directory
  int64_t Bytes = 0;
  int64_t Stored = 0;  // seconds since the epoch
  int64_t Inode = 0;
};

struct TCatalogSeries {
  int64_t Id = 0;
  bool Created = false;          // the row was made by this Open: the series' first run
  TDirectoryIdentity Directory;  // as first stored in (or as taken over since)
};

class TCatalog {
 public:
  TCatalog() = default;
  ~TCatalog();
  TCatalog(const TCatalog&) = delete;
  TCatalog& operator=(const TCatalog&) = delete;

  // Opens or creates the file at path (and its directory, for this user only). False, error
  // saying why, when it cannot be read and written.
  bool Open(const Text& path, Text& error);
  // The series of directory dir (its full path) and name; made, with directory, when new.
  bool OpenSeries(const Text& dir, const Text& name, const TDirectoryIdentity& directory,
                  TCatalogSeries& series, Text& error);
  // Records that the series' directory is now this one.
  bool SetDirectory(int64_t series, const TDirectoryIdentity& directory);

  std::optional<int32_t> HighestCounter(int64_t series);
  // The catalogued pictures' bytes together.
  int64_t TotalBytes(int64_t series);
  // Up to limit pictures in the order stored, after the one (stored, id) given and stored
  // before stored_before; each call runs on from where the last left off.
  std::vector<TCatalogPicture> Oldest(int64_t series, int64_t after_stored, int64_t after_id,
                                      int64_t stored_before, int limit);
  // The newest pictures, up to limit.
  std::vector<TCatalogPicture> Newest(int64_t series, int limit);

  bool Add(int64_t series, const TCatalogPicture& picture, Text& error);
  bool Forget(int64_t series, const TCatalogPicture& picture);
  bool SetInode(const TCatalogPicture& picture, int64_t inode);
  // Runs change (which answers whether it succeeded) as one transaction, or as part of the
  // one running; a failed change is rolled back.
  template <typename F>
  bool InOne(F change) {
    std::lock_guard lock(mutex_);
    const bool outer = Idle();
    if (outer && !Run("BEGIN IMMEDIATE")) return false;
    const bool done = change();
    if (!outer) return done;
    if (done && Run("COMMIT")) return true;
    Run("ROLLBACK");
    return false;
  }

 private:
  bool Run(const char* sql);
  // No transaction is running.
  bool Idle() const;
  Text LastError() const;
  std::vector<TCatalogPicture> Pictures(const char* sql, std::initializer_list<int64_t> values,
                                        int limit);

  std::recursive_mutex mutex_;
  sqlite3* db_ = nullptr;
};

}  // namespace tessaly
