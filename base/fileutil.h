// File-system helpers with the program's exact existence rules.
#pragma once

#include "base/text.h"

namespace tessaly {

// True only when an entry of exactly that name exists and is not a directory.
bool FileExists(const Text& path);
// True only when the entry exists and is a directory.
bool DirectoryExists(const Text& path);
// The running executable's directory, ending with "/".
Text ExecutableDirectory();
// Reads a whole file; false when it cannot be opened or read.
bool ReadWholeFile(const Text& path, Text& content);

}  // namespace tessaly
