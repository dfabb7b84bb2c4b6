#include "capture/safefile.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace tessaly {

namespace {

// Creates a fresh temporary file in path's directory; -1 when none can be made.
int CreateTemporary(const Text& path, Text& temp_path) {
  static std::atomic<unsigned> serial{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    temp_path = path + ".part" + std::to_string(getpid()) + "-" + std::to_string(serial++);
    // Mode 0666 lets the umask decide, as for any file the program creates.
    const int fd = open(temp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
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

bool MoveWithoutReplacing(const Text& from, const Text& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // File systems without that rename flag: a hard link fails just as well on an existing name.
  if (link(from.c_str(), to.c_str()) != 0) return false;
  unlink(from.c_str());
  return true;
}

}  // namespace

bool WriteFileWhole(const Text& path, const void* data, size_t size, TExisting existing) {
  Text temp_path;
  const int fd = CreateTemporary(path, temp_path);
  if (fd < 0) return false;
  bool ok = WriteAll(fd, static_cast<const char*>(data), size);
  ok = fsync(fd) == 0 && ok;
  ok = close(fd) == 0 && ok;
  if (ok) {
    ok = existing == TExisting::Replace ? rename(temp_path.c_str(), path.c_str()) == 0
                                        : MoveWithoutReplacing(temp_path, path);
  }
  if (!ok) unlink(temp_path.c_str());
  return ok;
}

}  // namespace tessaly
