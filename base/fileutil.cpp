#include "base/fileutil.h"

#include <sys/stat.h>
#include <unistd.h>

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

}  // namespace tessaly
