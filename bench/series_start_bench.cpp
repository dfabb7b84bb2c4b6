// How soon tessaly-capture sends its first request when DIRECTORY already holds a season's
// pictures (a million of the series' own, which the start-up scan must read to continue the
// series), against the same start in an empty directory. The program runs as a user starts it,
// against a loopback listener of this benchmark that answers with a tiny picture; the time runs
// from the fork to the arrival of the whole request. Goal: under 2 s with the million.
//
// Run: build/bench/series_start_bench  (the first run makes the pictures, about half a minute).
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "picturedir.h"
#include "spawn.h"

namespace tessaly {
namespace {

constexpr double kGoalMs = 2000;
double season_ms = 0;

// A listener on 127.0.0.1 that takes one request at a time and answers "abc".
class Listener {
 public:
  Listener() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    listen(fd_, 4);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
  }
  ~Listener() { close(fd_); }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/snap.jpg"; }

  // Waits up to 30 s for a whole request; answers when it had arrived, or nothing.
  bool Serve(std::chrono::steady_clock::time_point& arrived) {
    pollfd wait{fd_, POLLIN, 0};
    if (poll(&wait, 1, 30000) != 1) return false;
    const int peer = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    std::string request;
    char chunk[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
      const ssize_t got = recv(peer, chunk, sizeof(chunk), 0);
      if (got <= 0) break;
      request.append(chunk, static_cast<size_t>(got));
    }
    arrived = std::chrono::steady_clock::now();
    const std::string answer = "HTTP/1.0 200 OK\r\nContent-Length: 3\r\n\r\nabc";
    send(peer, answer.data(), answer.size(), MSG_NOSIGNAL);
    close(peer);
    return request.find("\r\n\r\n") != std::string::npos;
  }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// One start per iteration; the picture it stores is removed again, so every run sees the same.
void FirstRequest(benchmark::State& state, const std::string& dir, double* mean_ms) {
  if (dir.empty()) {
    state.SkipWithError("the pictures could not be made");
    return;
  }
  Listener listener;
  const std::string log = dir + "/../series-start.log";
  double total_ms = 0;
  for (auto _ : state) {
    std::filesystem::remove(log);
    const auto started = std::chrono::steady_clock::now();
    const pid_t pid = bench::Spawn(
        {TESSALY_CAPTURE_BIN, "--every", "0", "--count", "1", listener.Url(), dir}, log);
    auto arrived = started;
    const bool served = listener.Serve(arrived);
    int status = 0;
    if (!served) kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    const double ms = std::chrono::duration<double, std::milli>(arrived - started).count();
    state.SetIterationTime(ms / 1000);
    total_ms += ms;
    std::ifstream out(log);
    std::string stamp, word, path;
    out >> stamp >> word >> path;
    if (!served || word != "stored") state.SkipWithError("no picture was stored");
    std::filesystem::remove(path);
  }
  if (mean_ms) *mean_ms = total_ms / static_cast<double>(state.iterations());
}

void SeasonDirectory(benchmark::State& state) {
  FirstRequest(state, bench::SeasonDirectory(), &season_ms);
}

void EmptyDirectory(benchmark::State& state) {
  const std::string dir = std::filesystem::temp_directory_path() / "tessaly-empty-start";
  std::filesystem::create_directories(dir);
  FirstRequest(state, dir, nullptr);
  std::filesystem::remove_all(dir);
}

BENCHMARK(SeasonDirectory)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(EmptyDirectory)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tessaly

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (tessaly::season_ms <= 0) return 1;
  std::printf("first request with %d pictures in DIRECTORY: %.0f ms (goal under %.0f ms)\n",
              tessaly::bench::kSeasonPictures, tessaly::season_ms, tessaly::kGoalMs);
  return tessaly::season_ms < tessaly::kGoalMs ? 0 : 1;
}
