// A directory of cameras for one process: each regular file is a camera's settings file (the
// window's six-line format) named after the camera, and NAME.options beside it may hold that
// camera's own options of the console program, one a line.
#pragma once

#include <optional>
#include <vector>

#include "base/text.h"

namespace tessaly {

// The extension of a camera's own options file.
inline constexpr char kCameraOptionsExtension[] = ".options";
// The largest options file read; a longer one is refused.
inline constexpr size_t kMaxCameraOptionsBytes = 65536;

struct TCameraFile {
  Text Name;                        // the settings file's name
  Text SettingsPath;                // dir + "/" + Name
  std::optional<Text> OptionsPath;  // its options file, when there is one
};

// The cameras in dir, sorted by name: every regular file (or link to one) whose name neither
// starts with "." nor ends in ".options". False, with error, when dir cannot be read or a
// camera's name holds a space or a control byte (every line of a camera starts with its name).
bool ListCameras(const Text& dir, std::vector<TCameraFile>& cameras, Text& error);

// The words of an options file: one option a line ("--every 30s", "--every=30s", "--quiet"),
// spaces around it ignored, lines empty or starting with "#" skipped, CR LF taken as LF. The
// option is one word and the rest of its line, when any, its value. False, with error naming
// the line, for a line that is not an option.
bool ParseCameraOptions(const Text& content, std::vector<Text>& words, Text& error);

}  // namespace tessaly
