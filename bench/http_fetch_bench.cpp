// Fetch speed of the HTTP client against a local nginx, side by side with curl in the same
// run: a 100 MiB file (throughput, peak memory) and a 50 KiB file fetched 500 times in a row
// (time per request). Every request goes over a new connection, as the program makes them.
//
// Run: build/bench/http_fetch_bench  (needs nginx and curl on the PATH).
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/bigblock.h"
#include "http/httpclient.h"
#include "loopbackport.h"
#include "net/sockapi.h"
#include "spawn.h"

namespace tessaly {
namespace {

using bench::Accepting;
using bench::FreePort;
using bench::Spawn;

constexpr size_t kLargeSize = 100u << 20;
constexpr size_t kSmallSize = 50u << 10;
constexpr int kSmallCount = 500;

// A program started in its own process group, killed with it at the end.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const std::string& log) : pid_(Spawn(argv, log)) {}
  ~Child() {
    if (pid_ <= 0) return;
    kill(-pid_, SIGKILL);
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  pid_t Pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

void WriteFile(const std::string& path, size_t size) {
  std::ofstream out(path, std::ios::binary);
  std::string block(1 << 20, '\0');
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 131 + (i >> 9));
  for (size_t done = 0; done < size; done += block.size()) {
    out.write(block.data(), static_cast<std::streamsize>(std::min(block.size(), size - done)));
  }
}

// nginx serving a directory with the two files, started once for the whole run.
class Nginx {
 public:
  Nginx() {
    char dir_template[] = "/tmp/tessaly-bench-XXXXXX";
    dir_ = mkdtemp(dir_template);
    mkdir((dir_ + "/www").c_str(), 0755);
    WriteFile(dir_ + "/www/large.bin", kLargeSize);
    WriteFile(dir_ + "/www/small.bin", kSmallSize);
    port_ = FreePort();
    std::ofstream conf(dir_ + "/nginx.conf");
    conf << (geteuid() == 0 ? "user root;\n" : "") << "worker_processes 1;\nerror_log stderr;\n"
         << "events { worker_connections 256; }\nhttp {\n  access_log off;\n  sendfile on;\n"
         << "  server {\n    listen 127.0.0.1:" << port_ << ";\n    root " << dir_
         << "/www;\n  }\n}\n";
    conf.close();
    child_ = std::make_unique<Child>(
        std::vector<std::string>{"nginx", "-p", dir_, "-c", dir_ + "/nginx.conf", "-g",
                                 "daemon off; pid " + dir_ + "/nginx.pid;"},
        dir_ + "/nginx.log");
    for (int i = 0; i < 500 && !Accepting(port_); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!Accepting(port_)) {
      std::fprintf(stderr, "nginx did not start; see %s/nginx.log\n", dir_.c_str());
      std::exit(1);
    }
  }
  ~Nginx() {
    child_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  int Port() const { return port_; }
  std::string Scratch(const std::string& name) const { return dir_ + "/" + name; }
  std::string Url(const std::string& file) const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/" + file;
  }

 private:
  std::string dir_;
  int port_ = 0;
  std::unique_ptr<Child> child_;
};

Nginx& Server() {
  static Nginx nginx;
  return nginx;
}

// Resident-set figures of this process in bytes, from /proc.
size_t StatusBytes(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) {
      std::istringstream in(line.substr(field.size() + 1));
      size_t kib = 0;
      in >> kib;
      return kib << 10;
    }
  }
  return 0;
}

// Makes the kernel forget the peak resident set, so that VmHWM measures what follows.
void ResetPeak() {
  std::ofstream("/proc/self/clear_refs") << "5";
}

bool Fetch(const std::string& url, size_t expected, int32_t deadline_ms) {
  THTTPClient client;
  client.SetTransactionTimeout(deadline_ms);
  client.Headers().Add("referer:http://127.0.0.1/\r\n\r\n");
  return client.ExecuteRequest("GET", url) && client.ResultCode() == 200 &&
         client.Document().Size() == static_cast<int64_t>(expected);
}

// curl with the given arguments, stdout to /dev/null; answers its peak resident set.
size_t RunCurl(std::vector<std::string> args) {
  // The child's peak counts the pages it shares with this process until it runs curl.
  ReleaseSpareBlock();
  args.insert(args.begin(), {"curl", "-s", "-f", "--http1.0"});
  const pid_t pid = Spawn(args, "/dev/null");
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return 0;
  return static_cast<size_t>(usage.ru_maxrss) << 10;
}

// state.range(0): the transaction's deadline in ms (0: none). state.range(1) != 0: a series,
// where each body reuses the memory of the one before, as the program's jobs do; otherwise
// every body starts from memory the process has never touched (the first fetch of a series).
// The peak is measured against the process before any body.
void TessalyLarge(benchmark::State& state) {
  const std::string url = Server().Url("large.bin");
  const auto deadline = static_cast<int32_t>(state.range(0));
  const bool series = state.range(1) != 0;
  ReleaseSpareBlock();
  const size_t base = StatusBytes("VmRSS");
  size_t worst_peak = 0;
  for (auto _ : state) {
    if (!series) {
      state.PauseTiming();
      ReleaseSpareBlock();
      state.ResumeTiming();
    }
    ResetPeak();
    if (!Fetch(url, kLargeSize, deadline)) state.SkipWithError("fetch failed");
    worst_peak = std::max(worst_peak, StatusBytes("VmHWM") - base);
  }
  ReleaseSpareBlock();
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kLargeSize));
  state.counters["peak_MiB_over_body"] =
      (static_cast<double>(worst_peak) - static_cast<double>(kLargeSize)) / (1 << 20);
}

void CurlLarge(benchmark::State& state) {
  const std::string url = Server().Url("large.bin");
  size_t peak = 0;
  for (auto _ : state) {
    const size_t rss = RunCurl({"-o", "/dev/null", url});
    if (rss == 0) state.SkipWithError("curl failed");
    peak = std::max(peak, rss);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kLargeSize));
  state.counters["curl_peak_MiB"] = static_cast<double>(peak) / (1 << 20);
}

void CurlLargeToFile(benchmark::State& state) {
  const std::string url = Server().Url("large.bin");
  const std::string file = Server().Scratch("curl.out");
  for (auto _ : state) {
    if (RunCurl({"-o", file, url}) == 0) state.SkipWithError("curl failed");
  }
  std::filesystem::remove(file);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kLargeSize));
}

void TessalySmall(benchmark::State& state) {
  const std::string url = Server().Url("small.bin");
  for (auto _ : state) {
    for (int i = 0; i < kSmallCount; ++i) {
      if (!Fetch(url, kSmallSize, 0)) {
        state.SkipWithError("fetch failed");
        break;
      }
    }
  }
  state.counters["per_request"] =
      benchmark::Counter(static_cast<double>(state.iterations() * kSmallCount),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void CurlSmall(benchmark::State& state) {
  // One process, one URL per request (a query keeps them apart), a new connection each.
  const std::string urls = Server().Url("small.bin") + "?[1-" + std::to_string(kSmallCount) + "]";
  for (auto _ : state) {
    if (RunCurl({urls}) == 0) state.SkipWithError("curl failed");
  }
  state.counters["per_request"] =
      benchmark::Counter(static_cast<double>(state.iterations() * kSmallCount),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

BENCHMARK(TessalyLarge)
    ->ArgNames({"deadline", "series"})
    ->Args({0, 0})
    ->Args({0, 1})
    ->Args({600000, 1})
    ->Iterations(8)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(CurlLarge)->Iterations(8)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(CurlLargeToFile)->Iterations(8)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(TessalySmall)->Iterations(4)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(CurlSmall)->Iterations(4)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace tessaly

int main(int argc, char** argv) {
  tessaly::StartSocketLayer();
  benchmark::Initialize(&argc, argv);
  tessaly::Server();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  tessaly::StopSocketLayer();
  return 0;
}
