// What retention adds to a job when DIRECTORY holds a season's pictures (a million of the
// series' own): every job opens the directory, reads its free space, checks the ages, removes
// the oldest picture to stay within --keep-size and notes the new one. The picture's own write
// is not part of it. Goal: under 1 ms per job. The one pass that reads every picture's size and
// time, at the first store after start, is shown on its own.
//
// Run: build/bench/retention_bench  (the first run makes the pictures, about half a minute).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <vector>

#include "capture/naming.h"
#include "capture/retention.h"
#include "picturedir.h"

namespace tessaly {
namespace {

using TClock = std::chrono::steady_clock;
constexpr double kGoalMs = 1;
double job_ms = 0;

struct TSeason {
  std::string dir = bench::SeasonDirectory();
  TSeriesIndex index{SeriesNameForms("http://cam/snap.jpg"), NameMax(dir), true};
  std::unique_ptr<TRetention> retention;
  double details_ms = 0;
};

// Scanned once; the first MakeRoom reads every picture's size and time.
TSeason& Season() {
  static TSeason season = [] {
    TSeason s;
    if (s.dir.empty() || !s.index.Scan(s.dir)) return s;
    TRetentionRules rules;
    rules.KeepForSeconds = int64_t{10} * 365 * 86400;
    rules.MinFreeBytes = 0;
    s.retention = std::make_unique<TRetention>(s.index, rules, s.dir + "/");
    std::vector<TRemoval> removed;
    const auto started = TClock::now();
    s.retention->MakeRoom(bench::kSeasonPictureBytes, removed);
    s.details_ms = std::chrono::duration<double, std::milli>(TClock::now() - started).count();
    rules.KeepBytes = s.index.TotalBytes();  // from here on, each new picture makes one go
    s.retention = std::make_unique<TRetention>(s.index, rules, s.dir + "/");
    return s;
  }();
  return season;
}

void RetentionPerJob(benchmark::State& state) {
  TSeason& season = Season();
  if (!season.retention) {
    state.SkipWithError("the pictures could not be made or read");
    return;
  }
  double total_ms = 0;
  for (auto _ : state) {
    const auto started = TClock::now();
    std::vector<TRemoval> removed;
    const int refused = season.retention->MakeRoom(bench::kSeasonPictureBytes, removed);
    const auto made_room = TClock::now();
    // The job's own write, outside the measure: a sparse picture, as the others are.
    const std::string path =
        season.dir + "/" +
        SeriesFileName("snap.jpg", *season.index.HighestCounter() + 1, 0, NameMax(season.dir));
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    const bool written = fd >= 0 && ftruncate(fd, bench::kSeasonPictureBytes) == 0;
    if (fd >= 0) close(fd);
    const auto noting = TClock::now();
    season.retention->Stored(path, bench::kSeasonPictureBytes, std::time(nullptr));
    const double ms =
        std::chrono::duration<double, std::milli>(made_room - started + TClock::now() - noting)
            .count();
    state.SetIterationTime(ms / 1000);
    total_ms += ms;
    if (refused != 0 || removed.size() != 1 || !written) state.SkipWithError("no steady state");
  }
  job_ms = total_ms / static_cast<double>(state.iterations());
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
      "retention with %zu pictures: %.3f ms per job (goal under %.0f ms); reading every "
      "picture's size and time once at the first store: %.0f ms\n",
      tessaly::Season().index.Pictures().size(), tessaly::job_ms, tessaly::kGoalMs,
      tessaly::Season().details_ms);
  return tessaly::job_ms < tessaly::kGoalMs ? 0 : 1;
}
