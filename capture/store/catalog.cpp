#include "capture/store/catalog.h"

#include <fcntl.h>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <utility>

namespace tessaly {
namespace {

// A prepared statement with its values bound, finalized when it goes.
class TStatement {
 public:
  TStatement(sqlite3* db, const char* sql, std::initializer_list<int64_t> values = {}) {
    if (sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr) != SQLITE_OK) return;
    int at = 0;
    for (int64_t value : values) sqlite3_bind_int64(statement_, ++at, value);
  }
  ~TStatement() { sqlite3_finalize(statement_); }
  void BindText(int at, const Text& text) {
    sqlite3_bind_text(statement_, at, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  }
  // True while a row is at hand.
  bool Step() {
    return statement_ != nullptr && (result_ = sqlite3_step(statement_)) == SQLITE_ROW;
  }
  bool Done() { return !Step() && result_ == SQLITE_DONE; }
  int64_t Int(int column) const { return sqlite3_column_int64(statement_, column); }
  bool Null(int column) const { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }
  Text String(int column) const {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement_, column));
    return text ? Text(text, static_cast<size_t>(sqlite3_column_bytes(statement_, column)))
                : Text();
  }

 private:
  sqlite3_stmt* statement_ = nullptr;
  int result_ = SQLITE_ERROR;
};

// Makes every missing directory of path, for this user only.
bool MakeDirectories(const Text& path) {
  for (size_t slash = path.find('/', 1); slash != Text::npos; slash = path.find('/', slash + 1))
    if (mkdir(path.substr(0, slash).c_str(), 0700) != 0 && errno != EEXIST) return false;
  return true;
}

constexpr char kSchema[] =
    "CREATE TABLE IF NOT EXISTS series("
    " id INTEGER PRIMARY KEY, dir BLOB NOT NULL, name BLOB NOT NULL,"
    " device INTEGER NOT NULL, inode INTEGER NOT NULL, bytes INTEGER NOT NULL DEFAULT 0,"
    " highest INTEGER,"
    " UNIQUE(dir, name));"
    "CREATE TABLE IF NOT EXISTS picture("
    " id INTEGER PRIMARY KEY, series INTEGER NOT NULL REFERENCES series(id),"
    " counter INTEGER NOT NULL, file BLOB NOT NULL, bytes INTEGER NOT NULL,"
    " stored INTEGER NOT NULL, inode INTEGER NOT NULL);"
    "CREATE INDEX IF NOT EXISTS picture_by_age ON picture(series, stored);"
    "CREATE INDEX IF NOT EXISTS picture_by_counter ON picture(series, counter);";

// What this version adds to a catalog of the version before: intents and removals under way
// (pending), failed removals, the series' address.
constexpr char kVersion1[] =
    "ALTER TABLE picture ADD COLUMN pending INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE picture ADD COLUMN failed_at INTEGER;"
    "ALTER TABLE picture ADD COLUMN failure BLOB;"
    "ALTER TABLE series ADD COLUMN address BLOB;"
    "CREATE INDEX IF NOT EXISTS picture_pending ON picture(series) WHERE pending != 0;"
    "CREATE INDEX IF NOT EXISTS picture_failed ON picture(series) WHERE failed_at IS NOT NULL;"
    "PRAGMA user_version = 1;";

// Other series' processes may be writing; they hold the file for milliseconds at a time. The
// wait looks at the stop of the calling thread between naps.
constexpr int kBusyWaitMs = 10000;
constexpr int kBusyNapMs = 10;

thread_local const std::stop_token* t_stop = nullptr;

int BusyWait(void*, int count) {
  if (t_stop != nullptr && t_stop->stop_requested()) return 0;
  if (count * kBusyNapMs >= kBusyWaitMs) return 0;
  sqlite3_sleep(kBusyNapMs);
  return 1;
}

constexpr char kPictureColumns[] =
    "SELECT id, counter, file, bytes, stored, inode, pending FROM picture ";

// The write-ahead log's pages before a checkpoint: 256 (a MiB), at most a sixteenth of the
// state disk, at least 16. A checkpoint costs a sync, so not after every few rows.
int64_t LogPages(const Text& path) {
  struct statvfs disk {};
  if (statvfs(path.substr(0, path.rfind('/') + 1).c_str(), &disk) != 0) return 256;
  const int64_t pages =
      static_cast<int64_t>(disk.f_blocks) * static_cast<int64_t>(disk.f_frsize) / 16 / 4096;
  return std::max<int64_t>(16, std::min<int64_t>(256, pages));
}

bool Unreadable(int code) {
  code &= 0xff;
  return code == SQLITE_NOTADB || code == SQLITE_CORRUPT;
}

Text BrokenStamp() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  return stamp;
}

// Series locks: one file per catalog path, open for the process's life (closing it would let
// go every lock this process holds on it), and the series this process holds.
std::mutex lock_mutex;
std::map<Text, int> lock_files;
std::map<std::pair<Text, off_t>, int> locks_held;  // how many hold each here

off_t LockOffset(const Text& dir, const Text& name) {
  uint64_t hash = 1469598103934665603ull;
  const Text key = dir + Text(1, '\0') + name;
  for (unsigned char c : key) hash = (hash ^ c) * 1099511628211ull;
  return static_cast<off_t>(hash & 0x3fffffffffffffffull);
}

}  // namespace

TCatalogStopScope::TCatalogStopScope(const std::stop_token* stop) : previous_(t_stop) {
  t_stop = stop;
}

TCatalogStopScope::~TCatalogStopScope() {
  t_stop = previous_;
}

TSeriesLock::~TSeriesLock() {
  if (at_ < 0) return;
  std::lock_guard lock(lock_mutex);
  if (--locks_held[{path_, at_}] > 0) return;
  locks_held.erase({path_, at_});
  struct flock range {};
  range.l_type = F_UNLCK;
  range.l_whence = SEEK_SET;
  range.l_start = at_;
  range.l_len = 1;
  fcntl(lock_files[path_], F_SETLK, &range);
}

bool TSeriesLock::Take(const Text& lock_path, const Text& dir, const Text& name, Text& error) {
  std::lock_guard lock(lock_mutex);
  const off_t at = LockOffset(dir, name);
  const Text who = "the series " + name + " of " + dir;
  path_ = lock_path;
  if (const auto held = locks_held.find({lock_path, at}); held != locks_held.end()) {
    // This process holds it already: the series made anew at a reload, while the one it
    // replaces still runs (or a second camera of the same address and directory).
    ++held->second;
    at_ = at;
    first_ = false;
    return true;
  }
  auto file = lock_files.find(lock_path);
  if (file == lock_files.end()) {
    int fd = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    // On a state disk that cannot be written no series stores anything (no row can be
    // written): a shared lock is enough to be refused beside one that holds the series.
    if (fd < 0 && (errno == EROFS || errno == EACCES || errno == EPERM))
      fd = open(lock_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      error = "cannot open the lock file " + lock_path + ": " + std::strerror(errno);
      return false;
    }
    file = lock_files.emplace(lock_path, fd).first;
  }
  struct flock range {};
  const int mode = fcntl(file->second, F_GETFL);
  range.l_type = (mode & O_ACCMODE) == O_RDONLY ? F_RDLCK : F_WRLCK;
  range.l_whence = SEEK_SET;
  range.l_start = at;
  range.l_len = 1;
  if (fcntl(file->second, F_SETLK, &range) != 0) {
    const int failed = errno;
    if (failed != EAGAIN && failed != EACCES) {
      error = "cannot lock " + who + " in " + lock_path + ": " + std::strerror(failed);
      return false;
    }
    range.l_type = F_WRLCK;
    const bool known = fcntl(file->second, F_GETLK, &range) == 0 && range.l_type != F_UNLCK;
    error = (known ? "process " + IntToText(range.l_pid) : Text("another process")) + " captures " +
            who + " already; one series is captured by one process";
    return false;
  }
  locks_held[{lock_path, at}] = 1;
  at_ = at;
  first_ = true;
  return true;
}

std::vector<Text> StateEntries(const char* list) {
  std::vector<Text> entries;
  if (list == nullptr) return entries;
  const Text all = list;
  for (size_t from = 0; from <= all.size();) {
    const size_t colon = std::min(all.find(':', from), all.size());
    if (colon > from) entries.push_back(all.substr(from, colon - from));
    from = colon + 1;
  }
  return entries;
}

Text CatalogPath() {
  Text dir;
  const char* state = std::getenv("STATE_DIRECTORY");
  const char* xdg = std::getenv("XDG_STATE_HOME");
  const char* home = std::getenv("HOME");
  const std::vector<Text> states = StateEntries(state);
  if (!states.empty()) {
    dir = states.front();
  } else if (xdg != nullptr && xdg[0] == '/') {
    dir = Text(xdg) + "/tessaly";
  } else {
    if (home == nullptr || *home == '\0') {
      const passwd* user = getpwuid(getuid());
      home = user != nullptr ? user->pw_dir : nullptr;
    }
    if (home == nullptr || *home == '\0') return Text();
    dir = Text(home) + "/.local/state/tessaly";
  }
  return dir + "/catalog.sqlite";
}

TCatalog::~TCatalog() {
  sqlite3_close(db_);
}

bool TCatalog::Run(const char* sql) {
  return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool TCatalog::Failed() {
  failed_ = db_ ? Text(sqlite3_errmsg(db_)) : Text("out of memory");
  return false;
}

bool TCatalog::Full() {
  if ((sqlite3_errcode(db_) & 0xff) != SQLITE_FULL) return false;
  const Text reason = failed_;
  const bool cut = Run("PRAGMA wal_checkpoint(TRUNCATE)");
  failed_ = reason;
  return cut;
}

bool TCatalog::Migrate() {
  // A catalog of this version is only read here: a start never waits for another's write,
  // and a catalog that cannot be written still opens (each store then says why it failed).
  {
    std::lock_guard lock(mutex_);
    TStatement version(db_, "PRAGMA user_version");
    if (version.Step() && version.Int(0) >= 1) return true;
  }
  return InOne([&] {
    if (!Run(kSchema)) return false;
    TStatement version(db_, "PRAGMA user_version");
    return (version.Step() && version.Int(0) >= 1) || Run(kVersion1);
  });
}

bool TCatalog::Idle() const {
  return sqlite3_get_autocommit(db_) != 0;
}

Text TCatalog::LastError() const {
  return failed_.empty() ? Text("unknown error") : failed_;
}

bool TCatalog::Open(const Text& path, Text& error, Text* note) {
  error.clear();
  if (note) note->clear();
  path_ = path;
  if (path.empty()) {
    error = "no state directory: neither STATE_DIRECTORY, XDG_STATE_HOME nor HOME is set";
    return false;
  }
  if (!MakeDirectories(path)) {
    error = std::strerror(errno);
    return false;
  }
  for (int attempt = 0;; ++attempt) {
    if (sqlite3_open_v2(path.c_str(), &db_,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) == SQLITE_OK) {
      sqlite3_busy_handler(db_, BusyWait, nullptr);
      // The write-ahead log is checkpointed every MiB (less on a small disk) and then cut
      // back; on a disk that it fills, at once (Full). A kill or a crash loses no committed
      // row.
      if (Run("PRAGMA journal_mode=WAL") && Run("PRAGMA synchronous=NORMAL") &&
          Run(("PRAGMA wal_autocheckpoint=" + IntToText(LogPages(path))).c_str()) &&
          Run("PRAGMA journal_size_limit=1048576") && Migrate())
        return true;
    }
    Failed();
    const int code = sqlite3_errcode(db_);
    sqlite3_close(db_);
    db_ = nullptr;
    error = failed_;
    if (!Unreadable(code) || attempt > 0) return false;
    // A file SQLite cannot read costs no series its numbering (each goes on after the highest
    // number of its files) and stops nothing: it is kept aside for whoever wants to look.
    Text aside = path + ".broken-" + BrokenStamp();
    for (int n = 2; access(aside.c_str(), F_OK) == 0; ++n)
      aside = path + ".broken-" + BrokenStamp() + "-" + IntToText(n);
    if (rename(path.c_str(), aside.c_str()) != 0 && errno != ENOENT) {
      error += " (and it cannot be moved aside: " + Text(std::strerror(errno)) + ")";
      return false;
    }
    for (const char* part : {"-wal", "-shm"}) rename((path + part).c_str(), (aside + part).c_str());
    if (note)
      *note = "the catalog " + path + " cannot be read (" + error + "): moved it to " + aside +
              " and made a new one";
  }
}

bool TCatalog::OpenSeries(const Text& dir, const Text& name, const TDirectoryIdentity& directory,
                          TCatalogSeries& series, Text& error) {
  std::lock_guard lock(mutex_);
  series = {};
  for (int attempt = 0; attempt < 2; ++attempt) {
    TStatement find(db_,
                    "SELECT id, device, inode, address FROM series WHERE dir = ?1 AND name = ?2");
    find.BindText(1, dir);
    find.BindText(2, name);
    if (find.Step()) {
      series.Id = find.Int(0);
      series.Directory = {true, static_cast<dev_t>(find.Int(1)), static_cast<ino_t>(find.Int(2))};
      series.Address = find.String(3);
      return true;
    }
    // Another process may make the same series at the same moment: the second insert is
    // ignored and the row found again.
    TStatement make(
        db_, "INSERT OR IGNORE INTO series(dir, name, device, inode) VALUES (?1, ?2, ?3, ?4)",
        {0, 0, static_cast<int64_t>(directory.Device), static_cast<int64_t>(directory.Inode)});
    make.BindText(1, dir);
    make.BindText(2, name);
    if (!make.Done()) break;
    series.Created = sqlite3_changes(db_) == 1;
  }
  Failed();
  error = LastError();
  return false;
}

bool TCatalog::SetAddress(int64_t series, const Text& address) {
  std::lock_guard lock(mutex_);
  TStatement update(db_, "UPDATE series SET address = ?1 WHERE id = ?2", {0, series});
  update.BindText(1, address);
  return update.Done() || Failed();
}

bool TCatalog::SetDirectory(int64_t series, const TDirectoryIdentity& directory) {
  std::lock_guard lock(mutex_);
  return TStatement(db_, "UPDATE series SET device = ?, inode = ? WHERE id = ?",
                    {static_cast<int64_t>(directory.Device), static_cast<int64_t>(directory.Inode),
                     series})
             .Done() ||
         Failed();
}

std::optional<int32_t> TCatalog::HighestCounter(int64_t series) {
  std::lock_guard lock(mutex_);
  // The highest number ever catalogued stays, also when retention has removed its picture.
  TStatement highest(db_, "SELECT highest FROM series WHERE id = ?", {series});
  if (!highest.Step() || highest.Null(0)) return std::nullopt;
  return static_cast<int32_t>(highest.Int(0));
}

int64_t TCatalog::TotalBytes(int64_t series) {
  std::lock_guard lock(mutex_);
  TStatement total(db_, "SELECT bytes FROM series WHERE id = ?", {series});
  return total.Step() ? total.Int(0) : 0;
}

std::vector<TCatalogPicture> TCatalog::Pictures(const char* sql,
                                                std::initializer_list<int64_t> values, int limit) {
  std::lock_guard lock(mutex_);
  std::vector<TCatalogPicture> pictures;
  pictures.reserve(static_cast<size_t>(limit));
  TStatement select(db_, (Text(kPictureColumns) + sql).c_str(), values);
  while (select.Step())
    pictures.push_back({select.Int(0), static_cast<int32_t>(select.Int(1)), select.String(2),
                        select.Int(3), select.Int(4), select.Int(5),
                        static_cast<int>(select.Int(6))});
  return pictures;
}

std::vector<TCatalogPicture> TCatalog::Oldest(int64_t series, int64_t after_stored,
                                              int64_t after_id, int64_t stored_before, int limit,
                                              int64_t failed_after) {
  return Pictures(
      "WHERE series = ?1 AND (stored, id) > (?2, ?3) AND stored < ?4 AND pending = 0"
      " AND (failed_at IS NULL OR failed_at <= ?6) ORDER BY stored, id LIMIT ?5",
      {series, after_stored, after_id, stored_before, limit, failed_after}, limit);
}

int64_t TCatalog::FindSeries(const Text& dir, const Text& name) {
  std::lock_guard lock(mutex_);
  TStatement find(db_, "SELECT id FROM series WHERE dir = ?1 AND name = ?2");
  find.BindText(1, dir);
  find.BindText(2, name);
  return find.Step() ? find.Int(0) : 0;
}

std::vector<TCatalogSeriesName> TCatalog::AllSeries() {
  std::lock_guard lock(mutex_);
  std::vector<TCatalogSeriesName> all;
  TStatement select(db_, "SELECT id, dir, name FROM series ORDER BY id");
  while (select.Step()) all.push_back({select.Int(0), select.String(1), select.String(2)});
  return all;
}

int64_t TCatalog::CountStored(int64_t series, int64_t from, int64_t to) {
  std::lock_guard lock(mutex_);
  TStatement count(db_,
                   "SELECT count(*) FROM picture WHERE series = ?1 AND stored >= ?2 AND stored < ?3"
                   " AND pending = 0",
                   {series, from, to});
  return count.Step() ? count.Int(0) : 0;
}

std::vector<TCatalogPicture> TCatalog::Newest(int64_t series, int limit) {
  return Pictures("WHERE series = ?1 AND pending = 0 ORDER BY stored DESC, id DESC LIMIT ?2",
                  {series, limit}, limit);
}

std::vector<TCatalogPicture> TCatalog::PendingRows(int64_t series) {
  return Pictures("WHERE series = ?1 AND pending != 0 ORDER BY id LIMIT ?2", {series, 100000}, 0);
}

std::vector<Text> TCatalog::FileNames(int64_t series) {
  std::lock_guard lock(mutex_);
  std::vector<Text> names;
  TStatement select(db_, "SELECT file FROM picture WHERE series = ?", {series});
  while (select.Step()) names.push_back(select.String(0));
  return names;
}

bool TCatalog::Intend(int64_t series, const TCatalogPicture& picture, int64_t& id, Text& error) {
  error.clear();
  const bool written = InOne([&] {
    TStatement insert(db_,
                      "INSERT INTO picture(series, counter, file, bytes, stored, inode, pending) "
                      "VALUES (?, ?, ?, ?, ?, 0, 1)",
                      {series, picture.Counter, 0, picture.Bytes, picture.Stored});
    insert.BindText(3, picture.File);
    if (!insert.Done()) return Failed();
    id = sqlite3_last_insert_rowid(db_);
    return TStatement(db_,
                      "UPDATE series SET highest = MAX(COALESCE(highest, ?1), ?1) WHERE id = ?2",
                      {picture.Counter, series})
               .Done() ||
           Failed();
  });
  if (!written) error = LastError();
  return written;
}

bool TCatalog::Complete(int64_t series, int64_t id, int64_t bytes, int64_t inode, Text& error) {
  error.clear();
  const bool written = InOne([&] {
    if (!TStatement(db_, "UPDATE picture SET pending = 0, bytes = ?, inode = ? WHERE id = ?",
                    {bytes, inode, id})
             .Done())
      return Failed();
    return sqlite3_changes(db_) == 0 ||
           TStatement(db_, "UPDATE series SET bytes = bytes + ? WHERE id = ?", {bytes, series})
               .Done() ||
           Failed();
  });
  if (!written) error = LastError();
  return written;
}

bool TCatalog::Drop(int64_t id) {
  std::lock_guard lock(mutex_);
  return TStatement(db_, "DELETE FROM picture WHERE id = ? AND pending = 1", {id}).Done() ||
         Failed();
}

bool TCatalog::SetPending(int64_t id, int pending) {
  std::lock_guard lock(mutex_);
  return TStatement(db_, "UPDATE picture SET pending = ? WHERE id = ?", {pending, id}).Done() ||
         Failed();
}

bool TCatalog::MarkFailed(const TCatalogPicture& picture, int64_t when, const Text& why) {
  std::lock_guard lock(mutex_);
  TStatement mark(db_, "UPDATE picture SET failed_at = ?1, failure = ?2 WHERE id = ?3",
                  {when, 0, picture.Id});
  mark.BindText(2, why);
  return mark.Done() || Failed();
}

bool TCatalog::ClearFailures(int64_t series) {
  std::lock_guard lock(mutex_);
  // Only a write takes the catalog's lock: a start with nothing to clear never waits for it.
  TStatement any(db_, "SELECT 1 FROM picture WHERE series = ? AND failed_at IS NOT NULL LIMIT 1",
                 {series});
  if (!any.Step()) return true;
  return TStatement(db_,
                    "UPDATE picture SET failed_at = NULL, failure = NULL"
                    " WHERE series = ? AND failed_at IS NOT NULL",
                    {series})
             .Done() ||
         Failed();
}

bool TCatalog::Add(int64_t series, const TCatalogPicture& picture, Text& error) {
  error.clear();
  const bool added = InOne([&] {
    TStatement insert(db_,
                      "INSERT INTO picture(series, counter, file, bytes, stored, inode) "
                      "VALUES (?, ?, ?, ?, ?, ?)",
                      {series, picture.Counter, 0, picture.Bytes, picture.Stored, picture.Inode});
    insert.BindText(3, picture.File);
    return (insert.Done() && TStatement(db_,
                                        "UPDATE series SET bytes = bytes + ?1,"
                                        " highest = MAX(COALESCE(highest, ?2), ?2) WHERE id = ?3",
                                        {picture.Bytes, picture.Counter, series})
                                 .Done()) ||
           Failed();
  });
  if (!added) error = LastError();
  return added;
}

bool TCatalog::Forget(int64_t series, const TCatalogPicture& picture) {
  return InOne([&] {
    if (!TStatement(db_, "DELETE FROM picture WHERE id = ?", {picture.Id}).Done()) return Failed();
    // Only a row that went takes its bytes along: two processes may forget the same one.
    return sqlite3_changes(db_) == 0 ||
           TStatement(db_, "UPDATE series SET bytes = bytes - ? WHERE id = ?",
                      {picture.Bytes, series})
               .Done();
  });
}

bool TCatalog::SetInode(const TCatalogPicture& picture, int64_t inode) {
  std::lock_guard lock(mutex_);
  return TStatement(db_, "UPDATE picture SET inode = ? WHERE id = ?", {inode, picture.Id}).Done();
}

}  // namespace tessaly
