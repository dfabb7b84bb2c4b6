// A scratch directory for the targets that touch files: made once per process under the
// system's temporary directory and removed with everything in it when the process ends.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "base/text.h"

namespace tessaly::fuzz {

class TScratchDir {
 public:
  // The directory's path, ending with "/".
  static const Text& Path() {
    static TScratchDir dir;
    return dir.path_;
  }

 private:
  TScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tessaly-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    path_ = pattern + "/";
  }
  ~TScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  Text path_;
};

inline void WriteBytes(const Text& path, const Text& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    std::abort();
  }
}

inline bool ReadBytes(const Text& path, Text& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

}  // namespace tessaly::fuzz
