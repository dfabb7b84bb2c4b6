// Fetch speed over TLS: a 100 MiB file from a local nginx, side by side with curl on the same
// file in the same run, each fetch a new connection with a full handshake:
//  - TessalyTlsLarge: the HTTP client with the verifying OpenSSL plug, as the program fetches
//    (the body kept in memory); series:1 reuses the last body's memory, as the jobs of a series
//    do, series:0 starts every body in memory the process has never touched;
//  - TessalyTlsSocketLarge: the TCP socket and the plug alone, reading the body by exact reads
//    into one small buffer and dropping it, as curl -o /dev/null does;
//  - CurlTlsLarge.
// At the end the run prints each one's best throughput as a share of curl's.
//
// Run: build/bench/tls_fetch_bench  (needs nginx, openssl and curl on the PATH).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/bigblock.h"
#include "http/httpclient.h"
#include "loopbackport.h"
#include "net/sockapi.h"
#include "net/tcpsocket.h"
#include "net/tlsopenssl.h"
#include "spawn.h"

namespace tessaly {
namespace {

using bench::Accepting;
using bench::FreePort;

constexpr size_t kLargeSize = 100u << 20;

// Runs a program; with wait, to its end (answers its exit status), else in the background in
// its own process group (answers its pid).
int Run(const std::vector<std::string>& argv, const std::string& log, bool wait) {
  const pid_t pid = bench::Spawn(argv, log);
  if (!wait) return pid;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void Fail(const std::string& what, const std::string& log) {
  std::fprintf(stderr, "%s; see %s\n", what.c_str(), log.c_str());
  std::exit(1);
}

// A test CA, a certificate for 127.0.0.1 and nginx serving the file over TLS, for the run.
class TlsServer {
 public:
  TlsServer() {
    char dir_template[] = "/tmp/tessaly-tlsbench-XXXXXX";
    dir_ = mkdtemp(dir_template);
    const std::string log = dir_ + "/setup.log";
    std::ofstream(dir_ + "/san.cnf") << "subjectAltName = IP:127.0.0.1\n";
    const std::vector<std::vector<std::string>> steps = {
        {"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
         "-nodes", "-keyout", dir_ + "/ca.key", "-out", CaFile(), "-days", "2", "-subj",
         "/CN=Tessaly Bench CA"},
        {"openssl", "req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
         "-nodes", "-keyout", dir_ + "/server.key", "-out", dir_ + "/server.csr", "-subj",
         "/CN=127.0.0.1"},
        {"openssl", "x509", "-req", "-in", dir_ + "/server.csr", "-CA", CaFile(), "-CAkey",
         dir_ + "/ca.key", "-CAcreateserial", "-days", "2", "-extfile", dir_ + "/san.cnf", "-out",
         dir_ + "/server.pem"},
    };
    for (const auto& step : steps) {
      if (Run(step, log, true) != 0) Fail("certificate generation failed", log);
    }
    mkdir((dir_ + "/www").c_str(), 0755);
    WriteLargeFile(dir_ + "/www/large.bin");
    port_ = FreePort();
    std::ofstream conf(dir_ + "/nginx.conf");
    conf << (geteuid() == 0 ? "user root;\n" : "") << "worker_processes 1;\nerror_log stderr;\n"
         << "events { worker_connections 256; }\nhttp {\n  access_log off;\n"
         << "  server {\n    listen 127.0.0.1:" << port_ << " ssl;\n"
         << "    ssl_certificate " << dir_ << "/server.pem;\n"
         << "    ssl_certificate_key " << dir_ << "/server.key;\n"
         << "    root " << dir_ << "/www;\n  }\n}\n";
    conf.close();
    nginx_ = Run({"nginx", "-p", dir_, "-c", dir_ + "/nginx.conf", "-g",
                  "daemon off; pid " + dir_ + "/nginx.pid;"},
                 dir_ + "/nginx.log", false);
    for (int i = 0; i < 500 && !Accepting(port_); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!Accepting(port_)) Fail("nginx did not start", dir_ + "/nginx.log");
  }
  ~TlsServer() {
    kill(-nginx_, SIGKILL);
    kill(nginx_, SIGKILL);
    waitpid(nginx_, nullptr, 0);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  std::string CaFile() const { return dir_ + "/ca.pem"; }
  std::string Port() const { return std::to_string(port_); }
  std::string Url() const { return "https://127.0.0.1:" + std::to_string(port_) + "/large.bin"; }

 private:
  static void WriteLargeFile(const std::string& path) {
    std::ofstream out(path, std::ios::binary);
    std::string block(1 << 20, '\0');
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 131 + (i >> 9));
    for (size_t done = 0; done < kLargeSize; done += block.size()) out.write(block.data(), 1 << 20);
  }

  std::string dir_;
  int port_ = 0;
  pid_t nginx_ = -1;
};

TlsServer& Server() {
  static TlsServer server;
  return server;
}

// The fastest single fetch of each kind, for the closing comparison.
double best_cold_s = 0;
double best_series_s = 0;
double best_socket_s = 0;
double best_curl_s = 0;

void KeepBest(double& best, std::chrono::steady_clock::time_point start) {
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (best == 0 || seconds < best) best = seconds;
}

void TessalyTlsLarge(benchmark::State& state) {
  const bool series = state.range(0) != 0;
  ReleaseSpareBlock();
  for (auto _ : state) {
    if (!series) {
      state.PauseTiming();
      ReleaseSpareBlock();
      state.ResumeTiming();
    }
    const auto start = std::chrono::steady_clock::now();
    THTTPClient client;
    client.Sock().SSLPlug().SetCertCAFile(Server().CaFile());
    client.Headers().Add("referer:https://127.0.0.1/\r\n\r\n");
    if (!client.ExecuteRequest("GET", Server().Url()) || client.ResultCode() != 200 ||
        client.Document().Size() != static_cast<int64_t>(kLargeSize)) {
      state.SkipWithError(("fetch failed: " + client.Sock().SocketErrorText()).c_str());
      break;
    }
    KeepBest(series ? best_series_s : best_cold_s, start);
  }
  ReleaseSpareBlock();
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kLargeSize));
}

// The status line and header lines; the Content-Length value, -1 when there is none.
long long ReadHead(TTCPBlockSocket& sock) {
  long long length = -1;
  for (;;) {
    const Text line = sock.ReadLine(10000);
    if (sock.SocketError() != 0 || line.empty()) return length;
    if (line.rfind("Content-Length: ", 0) == 0) length = std::stoll(line.substr(16));
  }
}

void TessalyTlsSocketLarge(benchmark::State& state) {
  std::vector<char> piece(65536);
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    auto sock = TTCPBlockSocket::CreateDefault();
    sock->SSLPlug().SetCertCAFile(Server().CaFile());
    sock->ConnectTo("127.0.0.1", Server().Port());
    sock->OpenTlsSession();
    sock->WriteText("GET /large.bin HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
    long long left = ReadHead(*sock);
    if (left != static_cast<long long>(kLargeSize)) {
      state.SkipWithError(("fetch failed: " + sock->SocketErrorText()).c_str());
      break;
    }
    while (left > 0 && sock->SocketError() == 0) {
      const int want = static_cast<int>(std::min<long long>(left, 65536));
      left -= sock->ReadExact(piece.data(), want, 10000);
    }
    if (left != 0) {
      state.SkipWithError(("body cut short: " + sock->SocketErrorText()).c_str());
      break;
    }
    sock->Close();
    KeepBest(best_socket_s, start);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kLargeSize));
}

void CurlTlsLarge(benchmark::State& state) {
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    if (Run({"curl", "-s", "-f", "--http1.0", "--cacert", Server().CaFile(), "-o", "/dev/null",
             Server().Url()},
            "/dev/null", true) != 0) {
      state.SkipWithError("curl failed");
      break;
    }
    KeepBest(best_curl_s, start);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kLargeSize));
}

BENCHMARK(TessalyTlsLarge)
    ->ArgName("series")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(8)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(TessalyTlsSocketLarge)->Iterations(8)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(CurlTlsLarge)->Iterations(8)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace tessaly

int main(int argc, char** argv) {
  tessaly::StartSocketLayer();
  tessaly::UseOpenSSLByDefault();
  benchmark::Initialize(&argc, argv);
  tessaly::Server();
  benchmark::RunSpecifiedBenchmarks();
  const double mib = static_cast<double>(tessaly::kLargeSize) / (1 << 20);
  const double curl = tessaly::best_curl_s;
  for (const auto& [name, best] :
       {std::pair<const char*, double>{"client (first body)", tessaly::best_cold_s},
        {"client (series)", tessaly::best_series_s},
        {"socket", tessaly::best_socket_s}}) {
    if (best > 0 && curl > 0) {
      std::printf("best fetch: %s %.0f MiB/s, curl %.0f MiB/s; ratio to curl %.2f\n", name,
                  mib / best, mib / curl, curl / best);
    }
  }
  benchmark::Shutdown();
  tessaly::StopSocketLayer();
  return 0;
}
