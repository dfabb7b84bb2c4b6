// Which directory a series stores into: the one found at its path when the series started, told
// apart from another one that later appears at that path (the empty mount point of a disk that
// has gone, a directory renamed away and replaced).
#pragma once

#include <sys/types.h>

#include "base/text.h"

namespace tessaly {

struct TDirectoryIdentity {
  bool Known = false;
  dev_t Device = 0;
  ino_t Inode = 0;
};

// The directory at path now (following links); not Known when none can be read there.
TDirectoryIdentity IdentifyDirectory(const Text& path);
// True when something else than the directory identified as started is at path now. False when
// it is the same one, when started is not Known, or when nothing can be read at path (the write
// then says why).
bool DirectoryReplaced(const Text& path, const TDirectoryIdentity& started);
// Why a job stored nothing: "DIRECTORY is no longer the directory the series started in", with
// the directory as it was given (save_dir without the "/" the series adds).
Text DirectoryReplacedText(const Text& save_dir);

}  // namespace tessaly
