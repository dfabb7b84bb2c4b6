#include "capture/retention.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <limits>

namespace tessaly {

// The index forgets the picture whatever happens: one that has gone, or that someone turned
// into a link or a directory, is no longer the series' to remove. Answers the bytes freed.
int64_t TRetention::RemoveOne(int dir_fd, const TSeriesIndex::TKey& key,
                              std::vector<TRemoval>& removed) {
  const Text name = index_.FileName(key);
  index_.Remove(key);
  struct stat file {};
  if (fstatat(dir_fd, name.c_str(), &file, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(file.st_mode) ||
      unlinkat(dir_fd, name.c_str(), 0) != 0)
    return 0;
  removed.push_back({dir_ + name, file.st_size});
  return file.st_size;
}

int TRetention::MakeRoom(int dir_fd, int64_t incoming, int64_t now, int64_t free_bytes,
                         std::vector<TRemoval>& removed) {
  removed.clear();
  if (rules_.KeepBytes >= 0 && incoming > rules_.KeepBytes) return EFBIG;
  if (rules_.KeepBytes >= 0 || rules_.KeepForSeconds >= 0) index_.ReadDetails(dir_fd);
  const auto& pictures = index_.Pictures();
  if (rules_.KeepForSeconds >= 0) {
    for (auto earliest = index_.Earliest();
         earliest && pictures.at(*earliest).Time < now - rules_.KeepForSeconds;
         earliest = index_.Earliest())
      RemoveOne(dir_fd, *earliest, removed);
  }
  if (rules_.KeepBytes >= 0) {
    while (!pictures.empty() && index_.TotalBytes() + incoming > rules_.KeepBytes)
      RemoveOne(dir_fd, pictures.begin()->first, removed);
  }
  if (rules_.MinFreeBytes >= 0) {
    // Counted rather than asked again: some file systems free the blocks only later.
    while (!pictures.empty() && free_bytes < rules_.MinFreeBytes + incoming)
      free_bytes += RemoveOne(dir_fd, pictures.begin()->first, removed);
    if (free_bytes < rules_.MinFreeBytes + incoming) return ENOSPC;
  }
  return 0;
}

int TRetention::MakeRoom(int64_t incoming, std::vector<TRemoval>& removed) {
  removed.clear();
  if (!rules_.Any()) return 0;
  const int fd = open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return 0;  // the store itself tells what is wrong with the directory
  int refused = 0;
  struct stat own {};
  if (fstat(fd, &own) == 0 && std::make_pair(own.st_dev, own.st_ino) == index_.Identity()) {
    int64_t free_bytes = std::numeric_limits<int64_t>::max();
    struct statvfs space {};
    if (rules_.MinFreeBytes >= 0 && fstatvfs(fd, &space) == 0)
      free_bytes = static_cast<int64_t>(space.f_bavail) * static_cast<int64_t>(space.f_frsize);
    refused = MakeRoom(fd, incoming, std::time(nullptr), free_bytes, removed);
  }
  close(fd);
  return refused;
}

void TRetention::Stored(const Text& path, int64_t bytes, int64_t now) {
  index_.Add(path.substr(path.rfind('/') + 1), bytes, now);
}

}  // namespace tessaly
