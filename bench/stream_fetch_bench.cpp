// Time from the request to the stored first frame of a motion-JPEG stream served by a local
// ffmpeg, for the program's fetch job and, side by side, for ffmpeg's own client writing one
// frame. Each run gets a fresh server (it serves one connection), started outside the timing.
//
// Run: build/bench/stream_fetch_bench  (needs ffmpeg on the PATH).
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <stop_token>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "capture/job/fetchjob.h"
#include "capture/job/naming.h"
#include "loopbackport.h"
#include "net/sockapi.h"
#include "spawn.h"

namespace tessaly {
namespace {

// A job that stores into a scratch directory and shows nothing.
class BenchJob : public TJobContext {
 public:
  BenchJob(Text address, Text dir) : address_(std::move(address)), dir_(std::move(dir)) {}
  const Text& Address() const override { return address_; }
  int32_t Counter() const override { return 1; }
  const Text& SaveDir() const override { return dir_; }
  Text MakeFileName(const Text& name) override { return FreshFilePath(dir_, name, 1); }
  void ShowMessage(const Text&) override {}
  void SetCaption(const Text&) override {}
  std::stop_token StopToken() const override { return stop_.get_token(); }

 private:
  Text address_;
  Text dir_;
  std::stop_source stop_;
};

std::string ScratchDir() {
  static const std::string dir = [] {
    char name[] = "/tmp/tessaly-stream-bench-XXXXXX";
    return std::string(mkdtemp(name)) + "/";
  }();
  return dir;
}

// One stream server: 320x240 test pictures as JPEG parts, chunked, one connection.
class StreamServer {
 public:
  StreamServer() : port_(bench::FreePort()) {
    url_ = "http://127.0.0.1:" + std::to_string(port_) + "/video.mjpg";
    pid_ = bench::Spawn(
        {"ffmpeg", "-nostdin", "-loglevel", "error", "-f", "lavfi", "-i",
         "testsrc=size=320x240:rate=10", "-c:v", "mjpeg", "-f", "mpjpeg", "-content_type",
         "multipart/x-mixed-replace;boundary=ffmpeg", "-listen", "1", url_},
        ScratchDir() + "server.log");
    for (int i = 0; i < 2000 && !bench::Listening(port_); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  ~StreamServer() {
    kill(-pid_, SIGKILL);
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  StreamServer(const StreamServer&) = delete;
  StreamServer& operator=(const StreamServer&) = delete;
  bool Ready() const { return bench::Listening(port_); }
  const std::string& Url() const { return url_; }

 private:
  int port_;
  std::string url_;
  pid_t pid_ = -1;
};

double tessaly_ms = 0;
double ffmpeg_ms = 0;

// Runs one fetch per iteration against a fresh server; the file it leaves is checked and removed.
template <typename Fetch>
void FirstFrame(benchmark::State& state, const std::string& file, double& mean_ms, Fetch fetch) {
  double total_ms = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto server = std::make_unique<StreamServer>();
    if (!server->Ready()) state.SkipWithError("the stream server did not start");
    state.ResumeTiming();
    const auto start = std::chrono::steady_clock::now();
    fetch(server->Url());
    total_ms +=
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    state.PauseTiming();
    std::error_code error;
    if (std::filesystem::file_size(ScratchDir() + file, error) < 1000 || error) {
      state.SkipWithError("no frame stored");
    }
    std::filesystem::remove(ScratchDir() + file, error);
    server.reset();
    state.ResumeTiming();
  }
  mean_ms = total_ms / static_cast<double>(state.iterations());
}

void TessalyFirstFrame(benchmark::State& state) {
  FirstFrame(state, "video_00000001.jpg", tessaly_ms, [](const std::string& url) {
    BenchJob job(url, ScratchDir());
    FetchImageJob(job);
  });
}

void FfmpegFirstFrame(benchmark::State& state) {
  FirstFrame(state, "ffmpeg.jpg", ffmpeg_ms, [](const std::string& url) {
    const pid_t pid = bench::Spawn({"ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-i", url,
                                    "-frames:v", "1", "-c", "copy", ScratchDir() + "ffmpeg.jpg"},
                                   ScratchDir() + "client.log");
    waitpid(pid, nullptr, 0);
  });
}

BENCHMARK(TessalyFirstFrame)->Iterations(20)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(FfmpegFirstFrame)->Iterations(20)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace tessaly

int main(int argc, char** argv) {
  tessaly::StartSocketLayer();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (tessaly::tessaly_ms > 0 && tessaly::ffmpeg_ms > 0) {
    std::printf("first frame: tessaly %.2f ms, ffmpeg %.2f ms, ratio %.3f (goal at most 0.5)\n",
                tessaly::tessaly_ms, tessaly::ffmpeg_ms, tessaly::tessaly_ms / tessaly::ffmpeg_ms);
  }
  std::error_code ignored;
  std::filesystem::remove_all(tessaly::ScratchDir(), ignored);
  tessaly::StopSocketLayer();
  return 0;
}
