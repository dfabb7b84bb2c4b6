#include "base/fileutil.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

namespace tessaly {

bool FileExists(const Text& path) {
  struct stat info {};
  return !path.empty() && ::stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

bool DirectoryExists(const Text& path) {
  struct stat info {};
  return !path.empty() && ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

Text ExecutableDirectory() {
  Text path(4096, '\0');
  const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
  if (n <= 0) return "./";
  path.resize(static_cast<size_t>(n));
  return path.substr(0, path.rfind('/') + 1);
}

bool ReadWholeFile(const Text& path, Text& content) {
  content.clear();
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream out;
  out << in.rdbuf();
  if (in.bad()) return false;
  content = out.str();
  return true;
}

namespace {

Text KindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "of another kind";
}

Text SizeText(size_t bytes) {
  return bytes % 1024 == 0 ? IntToText(static_cast<int64_t>(bytes / 1024)) + " KiB"
                           : IntToText(static_cast<int64_t>(bytes)) + " bytes";
}

}  // namespace

bool ReadRegularFile(const Text& path, size_t limit, Text& content, Text& error) {
  content.clear();
  error.clear();
  struct stat info {};
  // Looked at before it is opened: a FIFO without a writer would wait, and opening a device
  // may do something of its own.
  if (::stat(path.c_str(), &info) != 0) {
    const int cause = errno;
    struct stat link {};
    Text target(4096, '\0');
    const ssize_t n = cause == ENOENT && ::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)
                          ? ::readlink(path.c_str(), target.data(), target.size())
                          : -1;
    error = n >= 0 ? "a link to nothing (" + target.substr(0, static_cast<size_t>(n)) + ")"
                   : Text(std::strerror(cause));
    return false;
  }
  if (!S_ISREG(info.st_mode))
    return error = "not a regular file but " + KindOf(info.st_mode), false;
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return error = std::strerror(errno), false;
  // What was opened may not be what was looked at a moment before.
  bool ok = ::fstat(fd, &info) == 0;
  if (!ok) error = std::strerror(errno);
  if (ok && !S_ISREG(info.st_mode)) {
    ok = false;
    error = "not a regular file but " + KindOf(info.st_mode);
  }
  if (ok && static_cast<uintmax_t>(info.st_size) > limit) {
    ok = false;
    error = "larger than " + SizeText(limit);
  }
  // One byte past the bound tells a file that grew since.
  Text bytes(ok ? limit + 1 : 0, '\0');
  size_t got = 0;
  while (ok && got < bytes.size()) {
    const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
    if (n == 0) break;
    if (n > 0) {
      got += static_cast<size_t>(n);
    } else if (errno != EINTR) {
      ok = false;
      error = std::strerror(errno);
    }
  }
  ::close(fd);
  if (ok && got > limit) {
    ok = false;
    error = "larger than " + SizeText(limit);
  }
  if (ok) content.assign(bytes, 0, got);
  return ok;
}

}  // namespace tessaly
