// What retention and the catalog add to a job when the series has a season's pictures
// catalogued (a million): every job opens the directory, reads its free space, looks for
// pictures past --keep-for, removes the oldest to stay within --keep-size, and catalogs the new
// picture. The picture's own write is not part of it. Goals: retention under 1 ms per job,
// cataloguing under 0.3 ms per picture.
//
// Run: build/bench/retention_bench  (the first run makes and catalogs the pictures, about a
// minute).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>
#include <vector>

#include "capture/job/naming.h"
#include "capture/store/retention.h"
#include "picturedir.h"

namespace tessaly {
namespace {

using TClock = std::chrono::steady_clock;
constexpr double kGoalMs = 1;
constexpr double kCatalogGoalMs = 0.3;
double job_ms = 0;
double catalog_ms = 0;

struct TSeason {
  std::string dir = bench::SeasonDirectory();
  TCatalog catalog;
  std::unique_ptr<TRetention> retention;
  std::optional<int32_t> highest;
};

TSeason& Season() {
  static TSeason season;
  static const bool opened = [] {
    const std::string state = season.dir.empty() ? "" : bench::SeasonState(season.dir);
    Text error;
    if (state.empty() || !season.catalog.Open(state + "/tessaly/catalog.sqlite", error))
      return false;
    TRetentionRules rules;
    rules.KeepForSeconds = int64_t{10} * 365 * 86400;
    rules.MinFreeBytes = 0;
    // From here on, each new picture makes one go.
    TCatalogSeries series;
    if (!season.catalog.OpenSeries(std::filesystem::canonical(season.dir), "snap.jpg", {}, series,
                                   error))
      return false;
    rules.KeepBytes = season.catalog.TotalBytes(series.Id);
    season.retention = std::make_unique<TRetention>(season.catalog, rules, season.dir + "/",
                                                    "http://cam/snap.jpg");
    TSeriesStart start;
    if (!season.retention->Start(start, error)) season.retention.reset();
    season.highest = start.HighestCounter;
    return season.retention && season.highest;
  }();
  if (!opened) season.retention.reset();
  return season;
}

void RetentionPerJob(benchmark::State& state) {
  TSeason& season = Season();
  if (!season.retention) {
    state.SkipWithError("the pictures could not be made, catalogued or read");
    return;
  }
  double total_ms = 0, total_catalog_ms = 0;
  for (auto _ : state) {
    const auto started = TClock::now();
    std::vector<TRemoval> removed;
    Text why;
    const int refused = season.retention->MakeRoom(bench::kSeasonPictureBytes, removed, why);
    const auto made_room = TClock::now();
    // The job's own write, outside the measure: a sparse picture, as the others are.
    const int32_t counter = ++*season.highest;
    const std::string path =
        season.dir + "/" + SeriesFileName("snap.jpg", counter, 0, NameMax(season.dir));
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    const bool written = fd >= 0 && ftruncate(fd, bench::kSeasonPictureBytes) == 0;
    if (fd >= 0) close(fd);
    const auto noting = TClock::now();
    Text error;
    const bool catalogued = season.retention->Stored(path, counter, bench::kSeasonPictureBytes,
                                                     std::time(nullptr), error);
    const double noted = std::chrono::duration<double, std::milli>(TClock::now() - noting).count();
    const double ms = std::chrono::duration<double, std::milli>(made_room - started).count();
    state.SetIterationTime((ms + noted) / 1000);
    total_ms += ms;
    total_catalog_ms += noted;
    if (refused != 0 || removed.size() != 1 || !removed[0].Error.empty() || !written || !catalogued)
      state.SkipWithError("no steady state");
  }
  job_ms = total_ms / static_cast<double>(state.iterations());
  catalog_ms = total_catalog_ms / static_cast<double>(state.iterations());
}

BENCHMARK(RetentionPerJob)->Iterations(2000)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tessaly

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (tessaly::job_ms <= 0) return 1;
  std::printf(
      "with %d catalogued pictures: retention %.3f ms per job (goal under %.0f ms), "
      "cataloguing %.3f ms per picture (goal under %.1f ms)\n",
      tessaly::bench::kSeasonPictures, tessaly::job_ms, tessaly::kGoalMs, tessaly::catalog_ms,
      tessaly::kCatalogGoalMs);
  return tessaly::job_ms < tessaly::kGoalMs && tessaly::catalog_ms < tessaly::kCatalogGoalMs ? 0
                                                                                             : 1;
}
