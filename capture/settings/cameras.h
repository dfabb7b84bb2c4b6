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
// The largest settings or options file read; a longer one is refused.
inline constexpr size_t kMaxCameraOptionsBytes = 65536;

struct TCameraFile {
  Text Name;                        // the settings file's name
  Text SettingsPath;                // dir + "/" + Name
  std::optional<Text> OptionsPath;  // its options file, when an entry of that name exists
  Text Refused;                     // why its name alone keeps the camera from running, or ""
};

// The cameras in dir, sorted by name: every entry whose name neither starts with "." nor ends
// in ".options", whatever it is (reading it tells a directory, a FIFO or a link to nothing).
// A camera whose name holds a space, a backslash, a control character or a byte that is not
// UTF-8 is Refused: every line of a camera starts with its name as it is. False, with error,
// only when dir cannot be read.
bool ListCameras(const Text& dir, std::vector<TCameraFile>& cameras, Text& error);

// The words of an options file: one option a line ("--every 30s", "--every=30s", "--quiet"),
// spaces around it ignored, lines empty or starting with "#" skipped, CR LF taken as LF. The
// option is one word and the rest of its line, when any, its value. False, with error naming
// the line, for a line that is not an option.
bool ParseCameraOptions(const Text& content, std::vector<Text>& words, Text& error);

}  // namespace tessaly
