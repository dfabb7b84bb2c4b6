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
// Reads a whole regular file (or the one a link leads to) of at most limit bytes, as a file
// that an administrator keeps must be read: a FIFO, a device, a socket or a directory is
// refused without being opened (nothing waits, nothing is read without end). False, with the
// reason in error ("not a regular file but a FIFO", "a link to nothing (TARGET)", "larger
// than 64 KiB" or the system's), when it cannot be read.
bool ReadRegularFile(const Text& path, size_t limit, Text& content, Text& error);

}  // namespace tessaly
