// Whole-file writes that never leave a half-written file under the target name.
#pragma once

#include <sys/types.h>

#include <cstddef>

#include "base/text.h"

namespace tessaly {

enum class TExisting { Replace, Keep };

// How a complete file gets its name, best first; WriteFileWhole takes the first one that the
// file system supports.
enum class TNamingRoute {
  Unnamed,   // written without any name, then linked to the path
  Hidden,    // written under a short hidden name, then moved or linked to the path
  Reserved,  // the path is taken empty first, then the complete file is moved onto it
};

// Writes size bytes to a file that has no visible name until it is complete and synced, then
// gives it path in one step and syncs the directory, so that the name survives a power cut. With
// TExisting::Keep an entry already at path is never replaced (the write fails). mode is the new
// file's permission before the umask. False on any failure; path then holds what it held before and
// no temporary file is left.
bool WriteFileWhole(const Text& path, const void* data, size_t size, TExisting existing,
                    mode_t mode = 0666);
inline bool WriteFileWhole(const Text& path, const Text& content, TExisting existing,
                           mode_t mode = 0666) {
  return WriteFileWhole(path, content.data(), content.size(), existing, mode);
}

// The same with TExisting::Keep, taking only the given route: false when the file system does
// not offer it. For checking each route on a file system that has them all.
bool WriteNewFileBy(TNamingRoute route, const Text& path, const void* data, size_t size,
                    mode_t mode = 0666);

}  // namespace tessaly
