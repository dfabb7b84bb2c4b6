#include "capture/store/retention.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <limits>

#include "base/url.h"
#include "capture/job/naming.h"
#include "capture/store/seriesindex.h"

namespace tessaly {
namespace {

constexpr int kBatch = 256;
// How many of the newest catalogued pictures tell a directory moved or restored whole.
constexpr int kNewestLooked = 16;
constexpr int64_t kNoBound = std::numeric_limits<int64_t>::max();
// Failed removals after which a job tries no more: a disk that refuses every one (read-only,
// append-only) must not cost a stat and a line per picture of the season at every store.
constexpr size_t kMostFailures = 16;
// Removals a job makes for --keep-for at most.
constexpr size_t kMostRemovals = 1000;
// How long a picture whose removal failed is passed over.
constexpr int64_t kRetryAfter = 3600;

bool GivenUp(const std::vector<TRemoval>& removed) {
  size_t failed = 0;
  for (const TRemoval& removal : removed) failed += removal.Error.empty() ? 0 : 1;
  return failed >= kMostFailures;
}

int64_t FileSystemFree(int dir_fd) {
  struct statvfs space {};
  if (fstatvfs(dir_fd, &space) != 0) return kNoBound;
  return static_cast<int64_t>(space.f_bavail) * static_cast<int64_t>(space.f_frsize);
}

bool SameDirectory(const TDirectoryIdentity& a, const TDirectoryIdentity& b) {
  return a.Known && b.Known && a.Device == b.Device && a.Inode == b.Inode;
}

}  // namespace

TRetention::TRetention(TCatalog& catalog, TRetentionRules rules, Text dir, const Text& address)
    : FreeBytes(FileSystemFree),
      catalog_(catalog),
      rules_(rules),
      dir_(std::move(dir)),
      name_(UrlFileName(WithoutUserInfo(address))),
      address_(WithoutUserInfo(address)) {}

bool TRetention::Find(Text& path, Text& error) {
  char* full = realpath(dir_.c_str(), nullptr);
  if (full == nullptr) {
    error = "cannot find " + dir_ + ": " + std::strerror(errno);
    return false;
  }
  path = full;
  free(full);
  const Text& catalog = catalog_.Path();
  const Text lock_path = catalog.substr(0, catalog.rfind('/') + 1) + "catalog.lock";
  if (!lock_.Take(lock_path, path, name_, error)) return false;
  if (catalog_.OpenSeries(path, name_, IdentifyDirectory(dir_), series_, error)) return true;
  error = "cannot find the series of " + path + " in the catalog " + catalog_.Path() + ": " + error;
  return false;
}

void TRetention::TakeOver(int dir_fd, const TDirectoryIdentity& now) {
  // A copy has new inodes, which the rows take on where name and size still agree; a row
  // whose picture is not there has nothing left to remove.
  catalog_.InOne([&] {
    catalog_.SetDirectory(series_.Id, now);
    Walk(kNoBound, [&](const TCatalogPicture& picture) {
      struct stat file {};
      if (fstatat(dir_fd, picture.File.c_str(), &file, AT_SYMLINK_NOFOLLOW) == 0 &&
          S_ISREG(file.st_mode) && file.st_size == picture.Bytes) {
        if (static_cast<int64_t>(file.st_ino) != picture.Inode)
          catalog_.SetInode(picture, static_cast<int64_t>(file.st_ino));
      } else {
        catalog_.Forget(series_.Id, picture);
      }
      return true;
    });
    return true;
  });
  series_.Directory = now;
}

void TRetention::Settle(int dir_fd) {
  for (const TCatalogPicture& picture : catalog_.PendingRows(series_.Id)) {
    struct stat file {};
    int error = 0;
    if (picture.Pending == 2) {
      // A removal under way: done when the file has gone, else the picture stays the series'.
      TCatalogPicture ours = picture;
      if (Look(dir_fd, ours, file, error) == TFound::Gone && error == ENOENT)
        catalog_.Forget(series_.Id, picture);
      else
        catalog_.SetPending(picture.Id, 0);
      continue;
    }
    // An intent: its picture got its name when a file of its size is there.
    const bool named = picture.File.find('/') == Text::npos &&
                       fstatat(dir_fd, picture.File.c_str(), &file, AT_SYMLINK_NOFOLLOW) == 0 &&
                       S_ISREG(file.st_mode) && file.st_size == picture.Bytes;
    Text ignored;
    if (named)
      catalog_.Complete(series_.Id, picture.Id, picture.Bytes, static_cast<int64_t>(file.st_ino),
                        ignored);
    else
      catalog_.Drop(picture.Id);
  }
}

bool TRetention::Start(TSeriesStart& start, Text& error) {
  start = {};
  error.clear();
  Text path;
  if (!Find(path, error)) return false;
  const Text given = dir_.size() > 1 ? dir_.substr(0, dir_.size() - 1) : dir_;
  if (series_.Address.empty()) {
    catalog_.SetAddress(series_.Id, address_);
  } else if (series_.Address != address_) {
    // Two cameras whose addresses give the same names would remove each other's pictures.
    error = given + " holds the series " + name_ + " of " + series_.Address + ", and " + address_ +
            " gives the same names: give this camera a directory of its own; if the camera "
            "only moved to this address, run once: tessaly-capture --adopt " +
            given + " " + address_;
    return false;
  }
  start.HighestCounter = catalog_.HighestCounter(series_.Id);
  const TDirectoryIdentity now = IdentifyDirectory(dir_);
  const int fd = open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return true;  // the jobs tell what is wrong with it
  if (series_.Created) {
    // No row: the numbering goes on after the files of the series' name, as before the
    // catalog, and those files are never the series' to remove.
    TSeriesIndex names(SeriesNameForms("/" + name_), NameMax(dir_));
    start.Uncatalogued = 0;
    names.Each(dir_, [&](const char*, const TSeriesIndex::TKey& key) {
      ++start.Uncatalogued;
      if (!start.HighestCounter || key.Counter > *start.HighestCounter)
        start.HighestCounter = key.Counter;
    });
    if (start.Uncatalogued > 0)
      start.Notes.push_back(
          {given + " holds " + IntToText(start.Uncatalogued) +
           (start.Uncatalogued == 1 ? " picture" : " pictures") +
           " of this series' name outside its catalog; the numbering goes on after them and "
           "retention never removes them (tessaly-capture --adopt " +
           given + " URL catalogs them)"});
  } else if (now.Known && !SameDirectory(now, series_.Directory)) {
    const std::vector<TCatalogPicture> newest = catalog_.Newest(series_.Id, kNewestLooked);
    bool ours = newest.empty();
    struct stat file {};
    for (const TCatalogPicture& picture : newest)
      ours = ours || (fstatat(fd, picture.File.c_str(), &file, AT_SYMLINK_NOFOLLOW) == 0 &&
                      S_ISREG(file.st_mode) && file.st_size == picture.Bytes);
    if (!ours && now.Device == series_.Directory.Device) {
      ours = true;
      start.Notes.push_back({given +
                                 " is another directory on the file system this series stored on "
                                 "(made anew?): the series takes it over",
                             true});
    }
    if (ours) {
      TakeOver(fd, now);
    } else {
      start.NotItsDirectory = true;
      start.Notes.push_back(
          {given +
               " is on another file system than the one this series stored on (the mount "
               "point of a disk that is not there?): nothing is stored until that one is back; "
               "if this is the right directory, take it over with: tessaly-capture --adopt " +
               given + " " + address_,
           true});
    }
  }
  // What a kill left open is settled only by the first in the process: a series of this
  // process that still runs may have a picture under way.
  if (!start.NotItsDirectory && lock_.First()) {
    Settle(fd);
    catalog_.ClearFailures(series_.Id);
  }
  close(fd);
  return true;
}

bool TRetention::Adopt(std::vector<TStartNote>& lines, Text& error) {
  error.clear();
  Text path;
  if (!Find(path, error)) return false;
  const Text given = dir_.size() > 1 ? dir_.substr(0, dir_.size() - 1) : dir_;
  if (series_.Address != address_) {
    if (!series_.Address.empty())
      lines.push_back({"the series " + name_ + " of " + given + " captures " + address_ +
                       " from now on (it captured " + series_.Address + ")"});
    if (!catalog_.SetAddress(series_.Id, address_)) return error = catalog_.LastError(), false;
  }
  const int fd = open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return error = std::strerror(errno), false;
  const TDirectoryIdentity now = IdentifyDirectory(dir_);
  if (!series_.Created && now.Known && !SameDirectory(now, series_.Directory)) {
    lines.push_back({"the series " + name_ + " takes " + given + " over as its directory"});
    TakeOver(fd, now);
  }
  if (lock_.First()) Settle(fd);
  std::vector<Text> known = catalog_.FileNames(series_.Id);
  std::sort(known.begin(), known.end());
  std::vector<std::pair<TSeriesIndex::TKey, TCatalogPicture>> found;
  TSeriesIndex names(SeriesNameForms("/" + name_), NameMax(dir_));
  names.Each(dir_, [&](const char* name, const TSeriesIndex::TKey& key) {
    struct stat file {};
    if (std::binary_search(known.begin(), known.end(), Text(name)) ||
        fstatat(fd, name, &file, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(file.st_mode))
      return;
    found.push_back({key,
                     {0, key.Counter, name, static_cast<int64_t>(file.st_size),
                      static_cast<int64_t>(file.st_mtime), static_cast<int64_t>(file.st_ino)}});
  });
  close(fd);
  std::sort(found.begin(), found.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  // One transaction: a season's pictures are adopted in seconds, and all or none.
  const bool added = catalog_.InOne([&] {
    for (const auto& [key, picture] : found)
      if (!catalog_.Add(series_.Id, picture, error)) return false;
    return true;
  });
  if (!added) return error = catalog_.LastError(), false;
  for (const auto& [key, picture] : found)
    lines.push_back({"adopted " + dir_ + picture.File + " " + IntToText(picture.Bytes)});
  lines.push_back({"adopted " + IntToText(static_cast<int64_t>(found.size())) +
                   (found.size() == 1 ? " picture" : " pictures") + " into the series " + name_ +
                   " of " + given + " (" + address_ + ")"});
  return true;
}

void TRetention::Walk(int64_t stored_before,
                      const std::function<bool(const TCatalogPicture&)>& visit,
                      int64_t failed_after) {
  int64_t after_stored = std::numeric_limits<int64_t>::min();
  int64_t after_id = std::numeric_limits<int64_t>::min();
  for (;;) {
    const std::vector<TCatalogPicture> batch =
        catalog_.Oldest(series_.Id, after_stored, after_id, stored_before, kBatch, failed_after);
    for (const TCatalogPicture& picture : batch)
      if (!visit(picture)) return;
    if (batch.size() < static_cast<size_t>(kBatch)) return;
    after_stored = batch.back().Stored;
    after_id = batch.back().Id;
  }
}

TRetention::TFound TRetention::Look(int dir_fd, const TCatalogPicture& picture, struct stat& file,
                                    int& error) {
  error = 0;
  // No name the series gives leads out of the directory, whatever the file says.
  if (picture.File.empty() || picture.File == "." || picture.File == ".." ||
      picture.File.find('/') != Text::npos)
    return TFound::Gone;
  if (fstatat(dir_fd, picture.File.c_str(), &file, AT_SYMLINK_NOFOLLOW) != 0) {
    error = errno;
    return error == ENOENT ? TFound::Gone : TFound::Unreadable;
  }
  // Something else at the name (a link, a directory, an edited copy) is not ours to remove.
  return S_ISREG(file.st_mode) && static_cast<int64_t>(file.st_ino) == picture.Inode &&
                 file.st_size == picture.Bytes
             ? TFound::Ours
             : TFound::Gone;
}

int64_t TRetention::RemoveOne(int dir_fd, const TCatalogPicture& picture,
                              std::vector<TRemoval>& removed) {
  struct stat file {};
  int error = 0;
  const TFound found = Look(dir_fd, picture, file, error);
  if (found == TFound::Ours) {
    // Marked first: a kill between the removal and the row's end leaves a row that the next
    // start settles, never one that names another file.
    if (!catalog_.SetPending(picture.Id, 2)) {
      removed.push_back({dir_ + picture.File, picture.Bytes,
                         "cannot write the catalog: " + catalog_.LastError()});
      return 0;
    }
    if (unlinkat(dir_fd, picture.File.c_str(), 0) != 0) {
      error = errno;
      catalog_.SetPending(picture.Id, 0);
    }
  }
  if (error != 0 && found != TFound::Gone) {
    // The row stays, marked: the picture is still the series', and it is tried again in an
    // hour or at the next start; the next oldest goes meanwhile.
    removed.push_back({dir_ + picture.File, picture.Bytes, std::strerror(error)});
    catalog_.MarkFailed(picture, now_, std::strerror(error));
    return 0;
  }
  catalog_.Forget(series_.Id, picture);
  if (found == TFound::Ours) removed.push_back({dir_ + picture.File, picture.Bytes, Text()});
  return picture.Bytes;
}

int TRetention::FreeSpace(int dir_fd, int64_t incoming, int64_t now, std::vector<TRemoval>& removed,
                          Text& why, const std::stop_token& stop) {
  const int64_t need = rules_.MinFreeBytes + incoming;
  const int64_t free_bytes = FreeBytes(dir_fd);
  if (free_bytes >= need) return 0;
  // First what removing could free: a picture with another link frees nothing.
  std::vector<TCatalogPicture> chosen;
  int64_t could = 0;
  Walk(
      kNoBound,
      [&](const TCatalogPicture& picture) {
        struct stat file {};
        int error = 0;
        if (Look(dir_fd, picture, file, error) == TFound::Ours && file.st_nlink == 1) {
          chosen.push_back(picture);
          could += static_cast<int64_t>(file.st_blocks) * 512;
        }
        return free_bytes + could < need && !stop.stop_requested();
      },
      now - kRetryAfter);
  const Text needed = IntToText(need) + " needed with --min-free and this picture";
  if (free_bytes + could < need) {
    why = IntToText(free_bytes) + " bytes free, " + needed + ", this series could free " +
          IntToText(could);
    return ENOSPC;
  }
  for (const TCatalogPicture& picture : chosen) {
    if (stop.stop_requested()) break;
    RemoveOne(dir_fd, picture, removed);
  }
  // Read back: a picture still open somewhere keeps its blocks.
  const int64_t after = FreeBytes(dir_fd);
  if (after >= need) return 0;
  why = IntToText(after) + " bytes free after removing, " + needed;
  return ENOSPC;
}

int TRetention::MakeRoom(int dir_fd, int64_t incoming, int64_t now, std::vector<TRemoval>& removed,
                         Text& why, std::stop_token stop) {
  removed.clear();
  why.clear();
  now_ = now;
  if (rules_.KeepBytes >= 0 && incoming > rules_.KeepBytes) return EFBIG;
  // A removal that failed within the hour is not tried again before then: the next oldest go.
  const int64_t failed_after = now - kRetryAfter;
  size_t passed = 0;
  if (rules_.KeepForSeconds >= 0)
    Walk(
        now - rules_.KeepForSeconds,
        [&](const TCatalogPicture& picture) {
          RemoveOne(dir_fd, picture, removed);
          // A backlog (a lowered --keep-for) goes over the next jobs, a bounded part each.
          return !GivenUp(removed) && ++passed < kMostRemovals && !stop.stop_requested();
        },
        failed_after);
  if (rules_.KeepBytes >= 0 && !stop.stop_requested()) {
    int64_t total = catalog_.TotalBytes(series_.Id);
    // Pictures that cannot be removed are passed over; the new one is stored all the same.
    if (total + incoming > rules_.KeepBytes)
      Walk(
          kNoBound,
          [&](const TCatalogPicture& picture) {
            total -= RemoveOne(dir_fd, picture, removed);
            return total + incoming > rules_.KeepBytes && !GivenUp(removed) &&
                   !stop.stop_requested();
          },
          failed_after);
  }
  if (stop.stop_requested()) return 0;
  return rules_.MinFreeBytes >= 0 ? FreeSpace(dir_fd, incoming, now, removed, why, stop) : 0;
}

int TRetention::MakeRoom(int64_t incoming, std::vector<TRemoval>& removed, Text& why,
                         std::stop_token stop) {
  removed.clear();
  why.clear();
  if (!rules_.Any()) return 0;
  const int fd = open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return 0;  // the store itself tells what is wrong with the directory
  int refused = 0;
  struct stat own {};
  if (fstat(fd, &own) == 0 && SameDirectory({true, own.st_dev, own.st_ino}, series_.Directory))
    refused = MakeRoom(fd, incoming, std::time(nullptr), removed, why, stop);
  close(fd);
  return refused;
}

bool TRetention::Intend(const Text& path, int32_t counter, int64_t bytes, int64_t now, int64_t& id,
                        Text& error) {
  TCatalogPicture picture;
  picture.Counter = counter;
  picture.File = path.substr(path.rfind('/') + 1);
  picture.Bytes = bytes;
  picture.Stored = now;
  return catalog_.Intend(series_.Id, picture, id, error);
}

bool TRetention::Named(int64_t id, const Text& path, int64_t bytes, Text& error) {
  struct stat file {};
  if (lstat(path.c_str(), &file) != 0) {
    error = std::strerror(errno);
    return false;
  }
  return catalog_.Complete(series_.Id, id, bytes, static_cast<int64_t>(file.st_ino), error);
}

void TRetention::Abandon(int64_t id) {
  catalog_.Drop(id);
}

bool TRetention::Stored(const Text& path, int32_t counter, int64_t bytes, int64_t now,
                        Text& error) {
  int64_t id = 0;
  return Intend(path, counter, bytes, now, id, error) && Named(id, path, bytes, error);
}

}  // namespace tessaly
