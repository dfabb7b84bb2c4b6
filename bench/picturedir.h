// A season's directory for the benchmarks: a million pictures of one series, made once on the
// build directory's disk and kept for later runs (they are sparse: 100 KiB each, no blocks).
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>

#include "capture/store/retention.h"

namespace tessaly::bench {

inline constexpr int kSeasonPictures = 1000000;
inline constexpr off_t kSeasonPictureBytes = 100 * 1024;

// Beside the running benchmark: build/bench/season-pictures/, holding snap_00000001.jpg to
// snap_01000000.jpg (a benchmark that stores and removes keeps the count). "" on failure.
inline std::string SeasonDirectory() {
  const std::string dir =
      std::filesystem::read_symlink("/proc/self/exe").parent_path().string() + "/season-pictures";
  const std::string marker = dir + "/.complete";
  if (access(marker.c_str(), F_OK) == 0) return dir;
  std::filesystem::create_directories(dir);
  std::fprintf(stderr, "making %d pictures in %s once...\n", kSeasonPictures, dir.c_str());
  for (int n = 1; n <= kSeasonPictures; ++n) {
    char name[32];
    std::snprintf(name, sizeof(name), "/snap_%08d.jpg", n);
    const int fd = open((dir + name).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    const bool made = fd >= 0 && ftruncate(fd, kSeasonPictureBytes) == 0;
    if (fd >= 0) close(fd);
    if (!made) return "";
  }
  const int fd = open(marker.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return "";
  close(fd);
  return dir;
}

// The season's pictures in the catalog, made once beside the running benchmark:
// build/bench/season-state/ is XDG_STATE_HOME for the program, with tessaly/catalog.sqlite in
// it; the pictures were stored a second apart, up to a day ago. "" on failure.
inline std::string SeasonState(const std::string& pictures) {
  const std::string state =
      std::filesystem::read_symlink("/proc/self/exe").parent_path().string() + "/season-state";
  const std::string marker = state + "/.complete";
  if (access(marker.c_str(), F_OK) == 0) return state;
  std::fprintf(stderr, "cataloguing %d pictures in %s once...\n", kSeasonPictures, state.c_str());
  TCatalog catalog;
  Text error;
  TRetention series(catalog, {}, pictures + "/", "http://cam/snap.jpg");
  TSeriesStart start;
  if (!catalog.Open(state + "/tessaly/catalog.sqlite", error) || !series.Start(start, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return "";
  }
  const int64_t first = std::time(nullptr) - 86400 - kSeasonPictures;
  const bool made = catalog.InOne([&] {
    for (int n = 1; n <= kSeasonPictures; ++n) {
      char name[32];
      std::snprintf(name, sizeof(name), "/snap_%08d.jpg", n);
      if (!series.Stored(pictures + name, n, kSeasonPictureBytes, first + n, error)) return false;
    }
    return true;
  });
  const int fd = made ? open(marker.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644) : -1;
  if (fd < 0) return "";
  close(fd);
  return state;
}

}  // namespace tessaly::bench
