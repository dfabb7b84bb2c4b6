// How soon tessaly-capture sends its first request, and how much memory it takes at most, when
// the series has a season's pictures catalogued (a million, in DIRECTORY and in the catalog),
// against the same start in an empty directory. The program runs as a user starts it, against
// a loopback listener of this benchmark that answers with a tiny picture; the time runs from
// the fork to the arrival of the whole request. Goals with the million: under 50 ms, and a
// peak resident size under 16 MiB.
//
// Run: build/bench/series_start_bench  (the first run makes and catalogs the pictures, about a
// minute).
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "picturedir.h"
#include "spawn.h"

namespace tessaly {
namespace {

constexpr double kGoalMs = 50;
constexpr double kGoalMiB = 16;
double season_ms = 0;
double season_mib = 0;

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
void FirstRequest(benchmark::State& state, const std::string& dir, double* mean_ms,
                  double* peak_mib) {
  if (dir.empty()) {
    state.SkipWithError("the pictures could not be made");
    return;
  }
  Listener listener;
  const std::string log = dir + "/../series-start.log";
  double total_ms = 0;
  long peak_kib = 0;
  for (auto _ : state) {
    std::filesystem::remove(log);
    const auto started = std::chrono::steady_clock::now();
    const pid_t pid = bench::Spawn(
        {TESSALY_CAPTURE_BIN, "--every", "0", "--count", "1", listener.Url(), dir}, log);
    auto arrived = started;
    const bool served = listener.Serve(arrived);
    int status = 0;
    if (!served) kill(pid, SIGKILL);
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    peak_kib = std::max(peak_kib, usage.ru_maxrss);
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
  if (peak_mib) *peak_mib = static_cast<double>(peak_kib) / 1024;
  state.counters["peak_MiB"] = static_cast<double>(peak_kib) / 1024;
}

void SeasonDirectory(benchmark::State& state) {
  const std::string dir = bench::SeasonDirectory();
  const std::string catalog = dir.empty() ? "" : bench::SeasonState(dir);
  setenv("XDG_STATE_HOME", catalog.c_str(), 1);
  unsetenv("STATE_DIRECTORY");
  FirstRequest(state, catalog.empty() ? "" : dir, &season_ms, &season_mib);
}

void EmptyDirectory(benchmark::State& state) {
  // Made afresh at every run, with a catalog of its own: the catalog of an earlier run would
  // rightly take the new directory for another one.
  const std::string dir = std::filesystem::temp_directory_path() / "tessaly-empty-start";
  const std::string catalog = dir + "-state";
  std::filesystem::create_directories(dir);
  setenv("XDG_STATE_HOME", catalog.c_str(), 1);
  FirstRequest(state, dir, nullptr, nullptr);
  std::filesystem::remove_all(dir);
  std::filesystem::remove_all(catalog);
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
  std::printf(
      "with %d catalogued pictures: first request %.1f ms (goal under %.0f ms), peak resident "
      "size %.1f MiB (goal under %.0f MiB)\n",
      tessaly::bench::kSeasonPictures, tessaly::season_ms, tessaly::kGoalMs, tessaly::season_mib,
      tessaly::kGoalMiB);
  return tessaly::season_ms < tessaly::kGoalMs && tessaly::season_mib < tessaly::kGoalMiB ? 0 : 1;
}
