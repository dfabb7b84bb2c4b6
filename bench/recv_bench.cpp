// Receiving a 100 MiB body over loopback: the counted read into a byte buffer and a loop of
// packet reads, side by side with a plain recv loop into a preallocated buffer.
//
// Each iteration connects to a local sender thread that sends the body in 1 MiB calls and
// closes. The goal compares memory:2 (the stream's memory kept, as the recv loop's buffer is)
// with fresh_buffer:0; memory:0 and fresh_buffer:1 show the same two on untouched memory.
// peak_rss_MiB is the process's peak resident size so far; run one benchmark per process
// (--benchmark_filter) to read it per variant.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "base/bigblock.h"
#include "base/bytebuffer.h"
#include "net/blocksocket.h"
#include "net/sockapi.h"

namespace tessaly {
namespace {

constexpr int64_t kBodySize = 100LL << 20;
constexpr int kSendPiece = 1 << 20;
constexpr int kTimeout = 10000;

class TStreamSocket : public TBlockSocket {
 public:
  int SocketKind() const override { return SOCK_STREAM; }
  int SocketProtocol() const override { return IPPROTO_TCP; }
};

const std::vector<char>& SendPattern() {
  static const std::vector<char> pattern = [] {
    std::vector<char> bytes(kSendPiece);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 131 + 7);
    return bytes;
  }();
  return pattern;
}

// A listening socket on 127.0.0.1; each Serve() accepts one connection on a thread, sends the
// body and closes.
class LocalSender {
 public:
  LocalSender() {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listen_fd_, 4) != 0 ||
        ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      port_ = 0;
      return;
    }
    port_ = ntohs(address.sin_port);
  }
  ~LocalSender() {
    if (thread_.joinable()) thread_.join();
    ::close(listen_fd_);
  }

  Text PortText() const { return IntToText(port_); }

  void Serve() {
    if (thread_.joinable()) thread_.join();
    thread_ = std::thread([this] {
      const int fd = ::accept(listen_fd_, nullptr, nullptr);
      if (fd < 0) return;
      const std::vector<char>& pattern = SendPattern();
      int64_t left = kBodySize;
      while (left > 0) {
        const size_t piece = static_cast<size_t>(std::min<int64_t>(left, kSendPiece));
        const ssize_t n = ::send(fd, pattern.data(), piece, MSG_NOSIGNAL);
        if (n <= 0) break;
        left -= n;
      }
      ::close(fd);
    });
  }

  void Finish() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  int listen_fd_ = -1;
  int port_ = 0;
  std::thread thread_;
};

double PeakRssMiB() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

void Report(benchmark::State& state, int64_t received) {
  state.SetBytesProcessed(state.iterations() * kBodySize);
  state.counters["peak_rss_MiB"] = PeakRssMiB();
  if (received != kBodySize) state.SkipWithError("short body");
}

// The stream a body goes to, by state.range(0):
//  0 (cold): a new stream in memory the process has never touched, reserved for the whole body
//    up front, as a body of known length that has shown it is real;
//  1 (series): a new stream per body that grows as the bytes come, as in a series of fetches,
//    where each body may reuse the memory of the one before;
//  2 (kept): one stream whose memory is kept from body to body, as the recv loop's buffer is.
class TBodyStream {
 public:
  explicit TBodyStream(benchmark::State& state) : state_(state), mode_(state.range(0)) {}
  TByteBuffer& Next() {
    if (mode_ == 2) {
      kept_.SetSize(0);
      return kept_;
    }
    fresh_ = std::make_unique<TByteBuffer>();
    if (mode_ == 0) {
      state_.PauseTiming();
      ReleaseSpareBlock();
      state_.ResumeTiming();
      fresh_->Reserve(static_cast<size_t>(kBodySize));
    }
    return *fresh_;
  }

 private:
  benchmark::State& state_;
  int64_t mode_;
  TByteBuffer kept_;
  std::unique_ptr<TByteBuffer> fresh_;
};

// Receives one body per iteration with `read`, which answers the bytes it got, or -1 when
// the body is not complete.
template <typename Read>
void ReceiveBodies(benchmark::State& state, Read read) {
  LoadSocketInterface();
  LocalSender sender;
  TBodyStream stream(state);
  int64_t received = 0;
  for (auto _ : state) {
    sender.Serve();
    TStreamSocket socket;
    socket.ConnectTo("127.0.0.1", sender.PortText());
    TByteBuffer& body = stream.Next();
    received = read(socket, body);
    benchmark::DoNotOptimize(body.Memory());
    socket.Close();
    sender.Finish();
  }
  Report(state, received);
  ReleaseSocketInterface();
}

void BM_ReadCountToStream(benchmark::State& state) {
  ReceiveBodies(state, [](TStreamSocket& socket, TByteBuffer& body) -> int64_t {
    socket.ReadCountToStream(body, kTimeout, kBodySize);
    return socket.SocketError() == 0 ? body.Size() : -1;
  });
}

void BM_ReadAvailableLoop(benchmark::State& state) {
  ReceiveBodies(state, [](TStreamSocket& socket, TByteBuffer& body) -> int64_t {
    for (;;) {
      const Text piece = socket.ReadAvailable(kTimeout);
      if (socket.SocketError() != 0) break;
      WriteTextToStream(body, piece);
    }
    // The peer's close ends the body.
    return socket.SocketError() == WSAECONNRESET ? body.Size() : -1;
  });
}

// state.range(0) != 0: a fresh buffer per body (its allocation and first touch are counted).
void BM_PlainRecvLoop(benchmark::State& state) {
  LocalSender sender;
  std::vector<char> body(static_cast<size_t>(kBodySize));
  int64_t received = 0;
  for (auto _ : state) {
    if (state.range(0) != 0) std::vector<char>(static_cast<size_t>(kBodySize)).swap(body);
    sender.Serve();
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(StrToInt(sender.PortText())));
    received = 0;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      while (received < kBodySize) {
        const ssize_t n =
            ::recv(fd, body.data() + received, static_cast<size_t>(kBodySize - received), 0);
        if (n <= 0) break;
        received += n;
      }
    }
    benchmark::DoNotOptimize(body.data());
    ::close(fd);
    sender.Finish();
  }
  Report(state, received);
}

BENCHMARK(BM_ReadCountToStream)
    ->ArgName("memory")
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0);
BENCHMARK(BM_ReadAvailableLoop)
    ->ArgName("memory")
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0);
BENCHMARK(BM_PlainRecvLoop)
    ->ArgName("fresh_buffer")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0);

}  // namespace
}  // namespace tessaly

BENCHMARK_MAIN();
