// The stream reader on hostile bodies, fed in the 64 KiB pieces the client reads. Goals: no
// piece takes more than a few milliseconds (the client looks at a stop between pieces, so this
// is what a stop may wait for: goal under 50 ms), and memory for a stream stays below twice its
// largest frame plus 8 MiB (peak_rss_mb, measured once per process: run one benchmark at a time
// with --benchmark_filter for a clean figure).
//
// Run: build/bench/stream_reader_bench
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <string>

#include "base/bytebuffer.h"
#include "http/multipart.h"

namespace tessaly {
namespace {

constexpr size_t kPiece = 64 * 1024;

// A body made on the fly, so that the benchmark holds no more than a piece of it: head, then
// `size` bytes of the unit repeated (or of random bytes without FF D9 when the unit is ""), tail.
struct TBody {
  std::string head;
  std::string unit;
  size_t size;
  std::string tail;
};

void Feed(benchmark::State& state, const TBody& body) {
  double worst_ms = 0;
  std::string piece;
  for (auto _ : state) {
    TByteBuffer part;
    TFirstPartReader reader("b", part, {256 << 20, 64 << 10, 1 << 20});
    std::mt19937 random(7);
    const auto feed = [&](const std::string& bytes) {
      const auto start = std::chrono::steady_clock::now();
      reader.Feed(bytes.data(), bytes.size());
      const std::chrono::duration<double, std::milli> took =
          std::chrono::steady_clock::now() - start;
      worst_ms = std::max(worst_ms, took.count());
    };
    feed(body.head);
    for (size_t at = 0; at < body.size; at += kPiece) {
      piece.clear();
      while (piece.size() < kPiece) {
        if (body.unit.empty()) {
          piece += static_cast<char>(random() % 255);
        } else {
          piece += body.unit;
        }
      }
      feed(piece);
    }
    feed(body.tail);
    if (!reader.Complete()) state.SkipWithError("the part was not found");
    benchmark::DoNotOptimize(part.Size());
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  state.counters["worst_piece_ms"] = worst_ms;
  state.counters["peak_rss_mb"] = static_cast<double>(usage.ru_maxrss) / 1024;
}

const std::string kHead = "--b\r\nContent-Type: image/jpeg\r\n\r\n\xFF\xD8\xFF\xDA\x00\x02";
const std::string kEnd = "\xFF\xD9\r\n--b\r\n";

// Three reads of empty parts, then a frame.
void BM_EmptyPartFlood(benchmark::State& state) {
  Feed(state, {"", "--b\n\n", 3 * kPiece, "\n" + kHead + "x" + kEnd});
}
BENCHMARK(BM_EmptyPartFlood)->Unit(benchmark::kMillisecond);

// Blank lines before a part's first byte, each judged on its own.
void BM_BlankLineFlood(benchmark::State& state) {
  Feed(state, {"--b\r\n\r\n", "\r\n", 3 * kPiece, kHead.substr(kHead.find('\xFF')) + kEnd});
}
BENCHMARK(BM_BlankLineFlood)->Unit(benchmark::kMillisecond);

// A frame whose every line begins like a boundary line.
void BM_DashLines(benchmark::State& state) {
  Feed(state, {kHead, "\n--bbbbbbbbbbbbbbbbbbbbbbbbbbbbbb", 4 << 20, kEnd});
}
BENCHMARK(BM_DashLines)->Unit(benchmark::kMillisecond);

// One frame of 16 MiB without a length: memory goal 2 * 16 + 8 = 40 MiB.
void BM_Frame16MiB(benchmark::State& state) {
  Feed(state, {kHead, "", 16 << 20, kEnd});
}
BENCHMARK(BM_Frame16MiB)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tessaly

BENCHMARK_MAIN();
