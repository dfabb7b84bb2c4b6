// The marker checks of --images-only and of the short answer on 10 MiB pictures. Goal: a
// complete 10 MiB picture is judged in well under 1 ms (the checks walk markers and never
// decode). The cut JPEG, which has no end-of-image marker to find, shows the worst case.
//
// Run: build/bench/picturecheck_bench
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>

#include "capture/job/picturecheck.h"

namespace tessaly {
namespace {

constexpr size_t kPictureSize = 10u << 20;

std::string Big16(size_t v) {
  return {static_cast<char>(v >> 8), static_cast<char>(v)};
}

// Random coded data as an encoder writes it: every FF stuffed with 00, a restart marker now
// and then.
std::string CodedData(size_t size) {
  std::mt19937 random(7);
  std::string coded;
  coded.reserve(size + size / 64);
  while (coded.size() < size) {
    const char byte = static_cast<char>(random());
    coded += byte;
    if (byte == '\xFF') coded += '\0';
    if (coded.size() % 65536 == 0) coded += "\xFF\xD0";
  }
  return coded;
}

std::string Jpeg() {
  const std::string thumbnail = "\xFF\xD8" + std::string(4000, 't') + "\xFF\xD9";
  const std::string exif = std::string("Exif\0\0", 6) + thumbnail;
  std::string header = "\xFF\xD8\xFF\xE1" + Big16(exif.size() + 2) + exif;
  header += "\xFF\xDB" + Big16(67) + std::string(65, 'q');  // a quantisation table
  header += "\xFF\xC4" + Big16(30) + std::string(28, 'h');  // a Huffman table
  header += std::string("\xFF\xDA\x00\x08\x01\x01\x00\x00\x3F\x00", 10);
  return header + CodedData(kPictureSize - header.size() - 2) + "\xFF\xD9";
}

std::string Png() {
  std::string png = "\x89PNG\r\n\x1A\n";
  auto chunk = [&](const char* type, size_t size) {
    png += Big16(size >> 16) + Big16(size & 0xFFFF) + type + std::string(size, 'p') + "CRC!";
  };
  chunk("IHDR", 13);
  while (png.size() + 8192 + 12 < kPictureSize) chunk("IDAT", 8192);
  chunk("IEND", 0);
  return png;
}

// Many small data sub-blocks: the GIF walk's hardest work.
std::string Gif() {
  std::string gif = std::string("GIF89a\x10\x00\x10\x00\x00\x00\x00", 13);
  gif += std::string("\x2C\x00\x00\x00\x00\x10\x00\x10\x00\x00\x08", 11);
  while (gif.size() + 256 < kPictureSize) gif += '\xFF' + std::string(255, 'g');
  return gif + std::string("\x00\x3B", 2);
}

void Check(benchmark::State& state, const std::string& picture, bool complete) {
  for (auto _ : state) {
    const Text fault = PictureFault(picture.data(), picture.size(), "image/jpeg");
    if (fault.empty() != complete) state.SkipWithError(("unexpected verdict: " + fault).c_str());
    benchmark::DoNotOptimize(fault);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * picture.size()));
}

void BM_CompleteJpeg(benchmark::State& state) {
  static const std::string picture = Jpeg();
  Check(state, picture, true);
}

void BM_ShortAnswerJpeg(benchmark::State& state) {
  static const std::string picture = Jpeg() + "\r\n";
  for (auto _ : state) {
    if (!IsWholeJpeg(picture.data(), picture.size())) state.SkipWithError("not whole");
  }
}

void BM_CutJpeg(benchmark::State& state) {
  static const std::string picture = Jpeg().substr(0, kPictureSize - 2);
  Check(state, picture, false);
}

void BM_CompletePng(benchmark::State& state) {
  static const std::string picture = Png();
  Check(state, picture, true);
}

void BM_CompleteGif(benchmark::State& state) {
  static const std::string picture = Gif();
  Check(state, picture, true);
}

BENCHMARK(BM_CompleteJpeg)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ShortAnswerJpeg)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CutJpeg)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CompletePng)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CompleteGif)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tessaly

BENCHMARK_MAIN();
