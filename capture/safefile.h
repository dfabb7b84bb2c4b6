// Whole-file writes that never leave a half-written file under the target name.
#pragma once

#include <cstddef>

#include "base/text.h"

namespace tessaly {

enum class TExisting { Replace, Keep };

// Writes size bytes to a new temporary file beside path and then moves it to path in one
// step. With TExisting::Keep an entry already at path is never replaced (the write fails).
// False on any failure; path then holds what it held before and no temporary file is left.
bool WriteFileWhole(const Text& path, const void* data, size_t size, TExisting existing);
inline bool WriteFileWhole(const Text& path, const Text& content, TExisting existing) {
  return WriteFileWhole(path, content.data(), content.size(), existing);
}

}  // namespace tessaly
