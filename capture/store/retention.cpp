#include "capture/store/retention.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/statvfs.h>
#include <unistd.h>

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
      name_(UrlFileName(WithoutUserInfo(address))) {}

bool TRetention::Start(TSeriesStart& start, Text& error) {
  start = {};
  error.clear();
  char* full = realpath(dir_.c_str(), nullptr);
  if (full == nullptr) {
    error = std::strerror(errno);
    return false;
  }
  const Text path = full;
  free(full);
  const TDirectoryIdentity now = IdentifyDirectory(dir_);
  if (!catalog_.OpenSeries(path, name_, now, series_, error)) return false;
  start.HighestCounter = catalog_.HighestCounter(series_.Id);
  if (series_.Created) {
    TSeriesIndex names(SeriesNameForms("/" + name_), NameMax(dir_));
    if (!names.Count(dir_, start.Uncatalogued)) start.Uncatalogued = 0;
    return true;
  }
  if (!now.Known || SameDirectory(now, series_.Directory)) return true;
  const int fd = open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return true;  // the jobs tell what is wrong with it
  const std::vector<TCatalogPicture> newest = catalog_.Newest(series_.Id, kNewestLooked);
  bool ours = newest.empty();
  struct stat file {};
  for (const TCatalogPicture& picture : newest)
    ours = ours || (fstatat(fd, picture.File.c_str(), &file, AT_SYMLINK_NOFOLLOW) == 0 &&
                    S_ISREG(file.st_mode) && file.st_size == picture.Bytes);
  if (ours) {
    // Taken over whole: a copy has new inodes, which the rows take on where name and size
    // still agree.
    catalog_.InOne([&] {
      catalog_.SetDirectory(series_.Id, now);
      Walk(kNoBound, [&](const TCatalogPicture& picture) {
        if (fstatat(fd, picture.File.c_str(), &file, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(file.st_mode) && file.st_size == picture.Bytes &&
            static_cast<int64_t>(file.st_ino) != picture.Inode)
          catalog_.SetInode(picture, static_cast<int64_t>(file.st_ino));
        return true;
      });
      return true;
    });
    series_.Directory = now;
  } else {
    start.NotItsDirectory = true;
  }
  close(fd);
  return true;
}

void TRetention::Walk(int64_t stored_before,
                      const std::function<bool(const TCatalogPicture&)>& visit) {
  int64_t after_stored = std::numeric_limits<int64_t>::min();
  int64_t after_id = std::numeric_limits<int64_t>::min();
  for (;;) {
    const std::vector<TCatalogPicture> batch =
        catalog_.Oldest(series_.Id, after_stored, after_id, stored_before, kBatch);
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
  if (found == TFound::Ours && unlinkat(dir_fd, picture.File.c_str(), 0) != 0) error = errno;
  if (error != 0 && found != TFound::Gone) {
    // The row stays: the picture is still the series', and the next store tries again.
    removed.push_back({dir_ + picture.File, picture.Bytes, std::strerror(error)});
    return 0;
  }
  catalog_.Forget(series_.Id, picture);
  if (found == TFound::Ours) removed.push_back({dir_ + picture.File, picture.Bytes, Text()});
  return picture.Bytes;
}

int TRetention::FreeSpace(int dir_fd, int64_t incoming, std::vector<TRemoval>& removed, Text& why) {
  const int64_t need = rules_.MinFreeBytes + incoming;
  const int64_t free_bytes = FreeBytes(dir_fd);
  if (free_bytes >= need) return 0;
  // First what removing could free: a picture with another link frees nothing.
  std::vector<TCatalogPicture> chosen;
  int64_t could = 0;
  Walk(kNoBound, [&](const TCatalogPicture& picture) {
    struct stat file {};
    int error = 0;
    if (Look(dir_fd, picture, file, error) == TFound::Ours && file.st_nlink == 1) {
      chosen.push_back(picture);
      could += static_cast<int64_t>(file.st_blocks) * 512;
    }
    return free_bytes + could < need;
  });
  const Text needed = IntToText(need) + " needed with --min-free and this picture";
  if (free_bytes + could < need) {
    why = IntToText(free_bytes) + " bytes free, " + needed + ", this series could free " +
          IntToText(could);
    return ENOSPC;
  }
  for (const TCatalogPicture& picture : chosen) RemoveOne(dir_fd, picture, removed);
  // Read back: a picture still open somewhere keeps its blocks.
  const int64_t after = FreeBytes(dir_fd);
  if (after >= need) return 0;
  why = IntToText(after) + " bytes free after removing, " + needed;
  return ENOSPC;
}

int TRetention::MakeRoom(int dir_fd, int64_t incoming, int64_t now, std::vector<TRemoval>& removed,
                         Text& why) {
  removed.clear();
  why.clear();
  if (rules_.KeepBytes >= 0 && incoming > rules_.KeepBytes) return EFBIG;
  if (rules_.KeepForSeconds >= 0)
    Walk(now - rules_.KeepForSeconds, [&](const TCatalogPicture& picture) {
      RemoveOne(dir_fd, picture, removed);
      return !GivenUp(removed);
    });
  if (rules_.KeepBytes >= 0) {
    int64_t total = catalog_.TotalBytes(series_.Id);
    // Pictures that cannot be removed are passed over; the new one is stored all the same.
    if (total + incoming > rules_.KeepBytes)
      Walk(kNoBound, [&](const TCatalogPicture& picture) {
        total -= RemoveOne(dir_fd, picture, removed);
        return total + incoming > rules_.KeepBytes && !GivenUp(removed);
      });
  }
  return rules_.MinFreeBytes >= 0 ? FreeSpace(dir_fd, incoming, removed, why) : 0;
}

int TRetention::MakeRoom(int64_t incoming, std::vector<TRemoval>& removed, Text& why) {
  removed.clear();
  why.clear();
  if (!rules_.Any()) return 0;
  const int fd = open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return 0;  // the store itself tells what is wrong with the directory
  int refused = 0;
  struct stat own {};
  if (fstat(fd, &own) == 0 && SameDirectory({true, own.st_dev, own.st_ino}, series_.Directory))
    refused = MakeRoom(fd, incoming, std::time(nullptr), removed, why);
  close(fd);
  return refused;
}

bool TRetention::Stored(const Text& path, int32_t counter, int64_t bytes, int64_t now,
                        Text& error) {
  struct stat file {};
  if (lstat(path.c_str(), &file) != 0) {
    error = std::strerror(errno);
    return false;
  }
  TCatalogPicture picture;
  picture.Counter = counter;
  picture.File = path.substr(path.rfind('/') + 1);
  picture.Bytes = bytes;
  picture.Stored = now;
  picture.Inode = static_cast<int64_t>(file.st_ino);
  return catalog_.Add(series_.Id, picture, error);
}

}  // namespace tessaly
