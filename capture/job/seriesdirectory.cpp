#include "capture/job/seriesdirectory.h"

#include <sys/stat.h>

namespace tessaly {

TDirectoryIdentity IdentifyDirectory(const Text& path) {
  struct stat found {};
  TDirectoryIdentity identity;
  if (stat(path.c_str(), &found) != 0 || !S_ISDIR(found.st_mode)) return identity;
  identity.Known = true;
  identity.Device = found.st_dev;
  identity.Inode = found.st_ino;
  return identity;
}

bool DirectoryReplaced(const Text& path, const TDirectoryIdentity& started) {
  struct stat found {};
  if (!started.Known || stat(path.c_str(), &found) != 0) return false;
  return found.st_dev != started.Device || found.st_ino != started.Inode;
}

Text DirectoryReplacedText(const Text& save_dir) {
  const Text given = save_dir.size() > 1 && save_dir.back() == '/'
                         ? save_dir.substr(0, save_dir.size() - 1)
                         : save_dir;
  return given + " is no longer the directory the series started in";
}

}  // namespace tessaly
