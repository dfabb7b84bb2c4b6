#include "capture/store/catalog.h"

#include <pwd.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

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

// Other series' processes may be writing; they hold the file for milliseconds at a time.
constexpr int kBusyWaitMs = 10000;

constexpr char kPictureColumns[] = "SELECT id, counter, file, bytes, stored, inode FROM picture ";

}  // namespace

Text CatalogPath() {
  Text dir;
  const char* state = std::getenv("STATE_DIRECTORY");
  const char* xdg = std::getenv("XDG_STATE_HOME");
  const char* home = std::getenv("HOME");
  if (state != nullptr && *state != '\0') {
    dir = Text(state).substr(0, Text(state).find(':'));
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

bool TCatalog::Idle() const {
  return sqlite3_get_autocommit(db_) != 0;
}

Text TCatalog::LastError() const {
  return db_ ? Text(sqlite3_errmsg(db_)) : Text("out of memory");
}

bool TCatalog::Open(const Text& path, Text& error) {
  error.clear();
  if (path.empty()) {
    error = "no state directory: neither STATE_DIRECTORY, XDG_STATE_HOME nor HOME is set";
    return false;
  }
  if (!MakeDirectories(path)) {
    error = std::strerror(errno);
    return false;
  }
  if (sqlite3_open_v2(path.c_str(), &db_,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                      nullptr) != SQLITE_OK) {
    error = LastError();
    return false;
  }
  sqlite3_busy_timeout(db_, kBusyWaitMs);
  // A crash may lose the last rows, never the file: a picture without a row is only kept.
  if (!Run("PRAGMA journal_mode=WAL") || !Run("PRAGMA synchronous=NORMAL") || !Run(kSchema)) {
    error = LastError();
    return false;
  }
  return true;
}

bool TCatalog::OpenSeries(const Text& dir, const Text& name, const TDirectoryIdentity& directory,
                          TCatalogSeries& series, Text& error) {
  std::lock_guard lock(mutex_);
  series = {};
  for (int attempt = 0; attempt < 2; ++attempt) {
    TStatement find(db_, "SELECT id, device, inode FROM series WHERE dir = ?1 AND name = ?2");
    find.BindText(1, dir);
    find.BindText(2, name);
    if (find.Step()) {
      series.Id = find.Int(0);
      series.Directory = {true, static_cast<dev_t>(find.Int(1)), static_cast<ino_t>(find.Int(2))};
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
  error = LastError();
  return false;
}

bool TCatalog::SetDirectory(int64_t series, const TDirectoryIdentity& directory) {
  std::lock_guard lock(mutex_);
  return TStatement(db_, "UPDATE series SET device = ?, inode = ? WHERE id = ?",
                    {static_cast<int64_t>(directory.Device), static_cast<int64_t>(directory.Inode),
                     series})
      .Done();
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
                        select.Int(3), select.Int(4), select.Int(5)});
  return pictures;
}

std::vector<TCatalogPicture> TCatalog::Oldest(int64_t series, int64_t after_stored,
                                              int64_t after_id, int64_t stored_before, int limit) {
  return Pictures(
      "WHERE series = ?1 AND (stored, id) > (?2, ?3) AND stored < ?4 ORDER BY stored, id LIMIT ?5",
      {series, after_stored, after_id, stored_before, limit}, limit);
}

std::vector<TCatalogPicture> TCatalog::Newest(int64_t series, int limit) {
  return Pictures("WHERE series = ?1 ORDER BY stored DESC, id DESC LIMIT ?2", {series, limit},
                  limit);
}

bool TCatalog::Add(int64_t series, const TCatalogPicture& picture, Text& error) {
  error.clear();
  const bool added = InOne([&] {
    TStatement insert(db_,
                      "INSERT INTO picture(series, counter, file, bytes, stored, inode) "
                      "VALUES (?, ?, ?, ?, ?, ?)",
                      {series, picture.Counter, 0, picture.Bytes, picture.Stored, picture.Inode});
    insert.BindText(3, picture.File);
    return insert.Done() && TStatement(db_,
                                       "UPDATE series SET bytes = bytes + ?1,"
                                       " highest = MAX(COALESCE(highest, ?2), ?2) WHERE id = ?3",
                                       {picture.Bytes, picture.Counter, series})
                                .Done();
  });
  if (!added) error = LastError();
  return added;
}

bool TCatalog::Forget(int64_t series, const TCatalogPicture& picture) {
  return InOne([&] {
    if (!TStatement(db_, "DELETE FROM picture WHERE id = ?", {picture.Id}).Done()) return false;
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
