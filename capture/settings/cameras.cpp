#include "capture/settings/cameras.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace tessaly {
namespace {

bool EndsWith(const Text& text, const Text& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

Text Trimmed(const Text& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == Text::npos) return Text();
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace

bool ListCameras(const Text& dir, std::vector<TCameraFile>& cameras, Text& error) {
  cameras.clear();
  error.clear();
  std::unique_ptr<DIR, int (*)(DIR*)> handle(opendir(dir.c_str()), closedir);
  if (!handle) {
    error = "cannot read directory " + dir + ": " + std::strerror(errno);
    return false;
  }
  std::vector<Text> names;
  while (const dirent* entry = readdir(handle.get())) names.emplace_back(entry->d_name);
  std::sort(names.begin(), names.end());
  const Text base = EndsWith(dir, "/") ? dir : dir + "/";
  for (const Text& name : names) {
    if (name.empty() || name[0] == '.' || EndsWith(name, kCameraOptionsExtension)) continue;
    TCameraFile camera{name, base + name, std::nullopt, Text()};
    if (name.find(' ') != Text::npos || PrintableText(name) != name)
      camera.Refused =
          "a camera's name may hold no space, backslash, control character or byte that is not "
          "UTF-8; rename its file";
    // Whatever the entry is: a link to nothing or a directory there is an options file that
    // cannot be read, not one that is absent.
    struct stat info {};
    const Text options = base + name + kCameraOptionsExtension;
    if (lstat(options.c_str(), &info) == 0) camera.OptionsPath = options;
    cameras.push_back(std::move(camera));
  }
  return true;
}

bool ParseCameraOptions(const Text& content, std::vector<Text>& words, Text& error) {
  words.clear();
  error.clear();
  size_t start = 0;
  for (int number = 1; start <= content.size(); ++number) {
    size_t end = content.find('\n', start);
    if (end == Text::npos) end = content.size();
    Text line = content.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    line = Trimmed(line);
    if (line.empty() || line[0] == '#') continue;
    if (line.size() < 3 || line.compare(0, 2, "--") != 0 || line[2] == ' ' || line[2] == '\t') {
      error = "line " + IntToText(number) + " is not an option: " + line;
      words.clear();
      return false;
    }
    for (const char c : line) {
      const auto byte = static_cast<unsigned char>(c);
      if ((byte < 32 && c != '\t') || byte == 127) {
        error = "line " + IntToText(number) + " holds a control character";
        words.clear();
        return false;
      }
    }
    const size_t gap = line.find_first_of(" \t");
    if (gap == Text::npos) {
      words.push_back(line);
    } else {
      words.push_back(line.substr(0, gap));
      words.push_back(Trimmed(line.substr(gap)));
    }
  }
  return true;
}

}  // namespace tessaly
