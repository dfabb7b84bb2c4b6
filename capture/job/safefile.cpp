#include "capture/job/safefile.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace tessaly {

namespace {

enum class TOutcome { Done, Failed, Unsupported };

// errno values by which a file system says that it lacks a call or a flag, rather than that
// the call failed for this file.
bool FeatureMissing(int error) {
  return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP || error == EPERM ||
         error == EISDIR;
}

Text DirectoryOf(const Text& path) {
  const size_t slash = path.rfind('/');
  if (slash == Text::npos) return ".";
  return slash == 0 ? Text("/") : path.substr(0, slash);
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t written = write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

bool WriteAndSync(int fd, const void* data, size_t size) {
  return WriteAll(fd, static_cast<const char*>(data), size) && fsync(fd) == 0;
}

// The file lives only as the open descriptor until it is complete; a writer killed before that
// leaves nothing behind. linkat fails on an existing name, so nothing is ever replaced.
TOutcome StoreUnnamed(const Text& path, const void* data, size_t size, mode_t mode) {
  const int fd = open(DirectoryOf(path).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
  if (fd < 0) return FeatureMissing(errno) ? TOutcome::Unsupported : TOutcome::Failed;
  TOutcome outcome = TOutcome::Failed;
  if (WriteAndSync(fd, data, size)) {
    // Linking by descriptor needs a privilege that the /proc path does not.
    const Text self = "/proc/self/fd/" + std::to_string(fd);
    if (linkat(fd, "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH) == 0 ||
        (errno != EEXIST &&
         linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0))
      outcome = TOutcome::Done;
    else if (errno == ENOENT || FeatureMissing(errno))
      outcome = TOutcome::Unsupported;
  }
  if (close(fd) != 0 && outcome != TOutcome::Done) outcome = TOutcome::Failed;
  return outcome;
}

// A short hidden name beside path, so that a long final name still fits and a file left by a
// killed writer stays out of the listing.
int CreateHidden(const Text& path, Text& temp_path, mode_t mode) {
  static std::atomic<unsigned> serial{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    temp_path = DirectoryOf(path) + "/.tessaly-" + std::to_string(getpid()) + "-" +
                std::to_string(serial++);
    const int fd = open(temp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

TOutcome MoveWithoutReplacing(const Text& from, const Text& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
    return TOutcome::Done;
  if (!FeatureMissing(errno)) return TOutcome::Failed;
  // A hard link fails on an existing name just as well.
  if (link(from.c_str(), to.c_str()) != 0)
    return FeatureMissing(errno) ? TOutcome::Unsupported : TOutcome::Failed;
  unlink(from.c_str());
  return TOutcome::Done;
}

bool SameEntry(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// For file systems that can neither rename without replacing nor link: the exclusive create
// claims the name, and only the file this call created there is ever replaced.
TOutcome MoveOntoReservation(const Text& from, const Text& to, mode_t mode) {
  const int fd = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) return TOutcome::Failed;
  struct stat reserved {};
  const bool known = fstat(fd, &reserved) == 0;
  close(fd);
  struct stat now {};
  const auto still_ours = [&] {
    return known && lstat(to.c_str(), &now) == 0 && SameEntry(now, reserved);
  };
  if (still_ours() && rename(from.c_str(), to.c_str()) == 0) return TOutcome::Done;
  if (still_ours()) unlink(to.c_str());
  return TOutcome::Failed;
}

// Writes through a hidden temporary file; with Keep, tries the given routes in order.
TOutcome StoreHidden(const Text& path, const void* data, size_t size, TExisting existing,
                     mode_t mode, bool may_move, bool may_reserve) {
  Text temp_path;
  const int fd = CreateHidden(path, temp_path, mode);
  if (fd < 0) return TOutcome::Failed;
  const bool written = WriteAndSync(fd, data, size);
  TOutcome outcome = close(fd) == 0 && written ? TOutcome::Unsupported : TOutcome::Failed;
  if (outcome == TOutcome::Unsupported && existing == TExisting::Replace)
    outcome = rename(temp_path.c_str(), path.c_str()) == 0 ? TOutcome::Done : TOutcome::Failed;
  if (outcome == TOutcome::Unsupported && may_move) outcome = MoveWithoutReplacing(temp_path, path);
  if (outcome == TOutcome::Unsupported && may_reserve)
    outcome = MoveOntoReservation(temp_path, path, mode);
  if (outcome != TOutcome::Done) unlink(temp_path.c_str());
  return outcome;
}

// The entry that names a file lives in its directory: until the directory is synced too, a power
// cut can take the name, and with it the synced file, away again. A file system that cannot
// sync a directory still keeps the file, so a failure here is not the write's.
TOutcome SyncDirectoryOf(const Text& path, TOutcome outcome) {
  if (outcome != TOutcome::Done) return outcome;
  const int fd = open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
  return outcome;
}

}  // namespace

bool WriteFileWhole(const Text& path, const void* data, size_t size, TExisting existing,
                    mode_t mode) {
  if (existing == TExisting::Keep) {
    const TOutcome unnamed = SyncDirectoryOf(path, StoreUnnamed(path, data, size, mode));
    if (unnamed != TOutcome::Unsupported) return unnamed == TOutcome::Done;
  }
  return SyncDirectoryOf(path, StoreHidden(path, data, size, existing, mode, true, true)) ==
         TOutcome::Done;
}

bool WriteNewFileBy(TNamingRoute route, const Text& path, const void* data, size_t size,
                    mode_t mode) {
  TOutcome outcome = TOutcome::Failed;
  switch (route) {
    case TNamingRoute::Unnamed:
      outcome = StoreUnnamed(path, data, size, mode);
      break;
    case TNamingRoute::Hidden:
      outcome = StoreHidden(path, data, size, TExisting::Keep, mode, true, false);
      break;
    case TNamingRoute::Reserved:
      outcome = StoreHidden(path, data, size, TExisting::Keep, mode, false, true);
      break;
  }
  return SyncDirectoryOf(path, outcome) == TOutcome::Done;
}

}  // namespace tessaly
