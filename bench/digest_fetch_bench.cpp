// Fetches of a Digest-protected 50 KiB file from a local lighttpd, 200 in a row, each the same
// two-request exchange (401 with the challenge, then the answer, each on a new connection): the
// job's fetch side by side with curl --digest in the same run.
//
// Run: build/bench/digest_fetch_bench  (needs lighttpd and curl on the PATH).
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "capture/job/fetchjob.h"
#include "loopbackport.h"
#include "net/sockapi.h"
#include "spawn.h"

namespace tessaly {
namespace {

using bench::Accepting;
using bench::FreePort;
using bench::Spawn;

constexpr size_t kFileSize = 50u << 10;
constexpr int kFetchCount = 200;
const char* const kAlgorithms[] = {"MD5", "SHA-256"};

std::string HexHash(const EVP_MD* md, const std::string& data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(data.data(), data.size(), digest, &length, md, nullptr);
  std::string hex;
  char pair[3];
  for (unsigned int i = 0; i < length; ++i) {
    std::snprintf(pair, sizeof(pair), "%02x", digest[i]);
    hex += pair;
  }
  return hex;
}

// lighttpd asking for Digest with MD5 under /0/ and SHA-256 under /1/, started once.
class Lighttpd {
 public:
  Lighttpd() {
    char dir_template[] = "/tmp/tessaly-bench-XXXXXX";
    dir_ = mkdtemp(dir_template);
    const std::string secret = "cam:Camera:secret";
    std::ofstream(dir_ + "/htdigest") << "cam:Camera:" << HexHash(EVP_md5(), secret)
                                      << "\ncam:Camera:" << HexHash(EVP_sha256(), secret) << "\n";
    std::string rules;
    std::string body(kFileSize, '\0');
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 131 + (i >> 9));
    for (int i = 0; i < 2; ++i) {
      const std::string sub = dir_ + "/www/" + std::to_string(i);
      std::filesystem::create_directories(sub);
      std::ofstream(sub + "/snap.jpg", std::ios::binary) << body;
      rules += std::string(i ? ",\n" : "") + "\"/" + std::to_string(i) +
               "/\" => (\"method\" => \"digest\", \"realm\" => \"Camera\", \"require\" => "
               "\"valid-user\", \"algorithm\" => \"" +
               kAlgorithms[i] + "\")";
    }
    port_ = FreePort();
    std::ofstream(dir_ + "/lighttpd.conf")
        << "server.document-root = \"" << dir_ << "/www\"\nserver.bind = \"127.0.0.1\"\n"
        << "server.port = " << port_ << "\nserver.max-connections = 1024\n"
        << "server.modules = (\"mod_auth\", \"mod_authn_file\")\nauth.backend = \"htdigest\"\n"
        << "auth.backend.htdigest.userfile = \"" << dir_ << "/htdigest\"\n"
        << "auth.require = (" << rules << ")\n";
    pid_ = Spawn({"lighttpd", "-D", "-f", dir_ + "/lighttpd.conf"}, dir_ + "/lighttpd.log");
    for (int i = 0; i < 500 && !Accepting(port_); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!Accepting(port_)) {
      std::fprintf(stderr, "lighttpd did not start; see %s/lighttpd.log\n", dir_.c_str());
      std::exit(1);
    }
  }
  ~Lighttpd() {
    kill(-pid_, SIGKILL);
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  // The protected file for algorithm index i, with the credentials in the address or not.
  std::string Url(int64_t i, bool with_user) const {
    return std::string("http://") + (with_user ? "cam:secret@" : "") +
           "127.0.0.1:" + std::to_string(port_) + "/" + std::to_string(i) + "/snap.jpg";
  }

 private:
  std::string dir_;
  int port_ = 0;
  pid_t pid_ = -1;
};

Lighttpd& Server() {
  static Lighttpd server;
  return server;
}

void PerFetch(benchmark::State& state) {
  state.counters["per_fetch"] =
      benchmark::Counter(static_cast<double>(state.iterations() * kFetchCount),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// state.range(0): 0 MD5, 1 SHA-256.
void TessalyDigest(benchmark::State& state) {
  const std::string url = Server().Url(state.range(0), true);
  for (auto _ : state) {
    for (int i = 0; i < kFetchCount; ++i) {
      TByteBuffer buffer;
      if (!DownloadImage(ParseAddress(url), buffer) ||
          buffer.Size() != static_cast<int64_t>(kFileSize)) {
        state.SkipWithError("fetch failed");
        break;
      }
    }
  }
  PerFetch(state);
}

void CurlDigest(benchmark::State& state) {
  // One process, one URL per fetch (a query keeps them apart); HTTP/1.0 closes every
  // connection, so each fetch is the 401 and the answer on two connections, as for the job.
  const std::string urls =
      Server().Url(state.range(0), false) + "?[1-" + std::to_string(kFetchCount) + "]";
  for (auto _ : state) {
    const pid_t pid =
        Spawn({"curl", "-s", "-f", "--http1.0", "--digest", "-u", "cam:secret", urls}, "/dev/null");
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) state.SkipWithError("curl failed");
  }
  PerFetch(state);
}

BENCHMARK(TessalyDigest)
    ->ArgName("sha256")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(5)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(CurlDigest)
    ->ArgName("sha256")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(5)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

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
