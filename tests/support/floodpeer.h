// A loopback peer that floods: it accepts one connection on 127.0.0.1 or ::1 (port 0), waits for
// the request's header block, sends a fixed prefix and then whatever a generator makes, as fast
// as the client takes it, until the client goes away, the generator ends or a cap is reached.
// It counts what it handed to the kernel, so a test can tell that a client cut a flood off and
// how soon.
//
//   FloodPeer::Options options;
//   options.prefix = "HTTP/1.0 200 OK\r\nX-Endless: ";
//   options.generate = FloodPeer::Repeat("a");
//   FloodPeer peer(options);
//   client.ExecuteRequest("GET", url);
//   ASSERT_TRUE(peer.WaitEnded(5000));
//   EXPECT_LE(peer.Sent(), limit + peer.InFlightAllowance());
//
// The process-memory helpers below read the kernel's own figures, for checks of how far a
// flood made the process grow.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace tessaly {

class FloodPeer {
 public:
  // The next bytes to send, given what has been sent so far (the prefix included). An empty
  // piece ends the stream.
  using Generator = std::function<std::string(uint64_t sent)>;

  // What the peer does once its stream has ended (the generator or the cap stopped it).
  enum class AfterStream {
    Hold,   // keep the connection open and silent until the client closes it
    Close,  // orderly close: FIN, then wait for the client's close
    Reset,  // abortive close
  };

  struct Options {
    std::string host = "127.0.0.1";      // "127.0.0.1" or "::1"
    std::string prefix;                  // sent first, in one piece
    Generator generate;                  // null: the prefix is all there is
    uint64_t cap = uint64_t{256} << 20;  // the stream stops once this much has been sent
    AfterStream after = AfterStream::Hold;
    // SO_SNDBUF of the accepted connection: keeps what waits on the peer's side small, so that
    // Sent() is close to what the client really took.
    int send_buffer = 64 * 1024;
    std::string await_text = "\r\n\r\n";  // the stream starts once this arrived; "" at once
    int await_timeout_ms = 10000;
  };

  // Endless repetition of unit, in pieces of whole units of about 64 KiB.
  static Generator Repeat(const std::string& unit);
  // unit repeated `count` times in all, then the end of the stream.
  static Generator RepeatTimes(const std::string& unit, uint64_t count);

  explicit FloodPeer(Options options);
  // Stops the thread (interrupting any wait), closes the sockets, joins.
  ~FloodPeer();
  FloodPeer(const FloodPeer&) = delete;
  FloodPeer& operator=(const FloodPeer&) = delete;

  const std::string& Host() const { return options_.host; }
  int Port() const { return port_; }
  std::string PortText() const { return std::to_string(port_); }
  // Empty when the listening socket could be made.
  const std::string& SetupError() const { return setup_error_; }

  // Bytes handed to the kernel so far, the prefix included.
  uint64_t Sent() const;
  // Everything received from the client.
  std::string Received() const;
  // Waits until the connection is over: the client closed or reset it, or the peer ended it
  // after its stream. False on time-out (the client still holds a connection it does not read,
  // or never came).
  bool WaitEnded(int timeout_ms) const;
  // The client closed or reset the connection while the peer was still streaming.
  bool ClientLeftMidStream() const;
  // The stream ran into the cap.
  bool CapReached() const;
  // Why the peer did not play normally ("" when it did): no connection or request in time.
  std::string Failure() const;

  // What the kernels may hold between the peer's send and the client's read: the peer's send
  // buffer and the largest receive buffer the client's socket may grow to.
  uint64_t InFlightAllowance() const;

 private:
  void Run();
  // Waits for readiness of the connection; false when the peer is stopping.
  bool Wait(int fd, short events, int timeout_ms, short* revents);
  // Takes what the client sent; sets *gone on its close or reset.
  void Drain(int fd, bool* gone);
  void Stream(int fd);
  void Fail(const std::string& why);
  void MarkEnded();

  Options options_;
  int listen_fd_ = -1;
  int wake_fd_ = -1;
  int port_ = 0;
  int send_buffer_actual_ = 0;
  std::string setup_error_;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  uint64_t sent_ = 0;
  std::string received_;
  bool ended_ = false;
  bool left_mid_stream_ = false;
  bool cap_reached_ = false;
  std::string failure_;
  std::thread thread_;
};

// The kernel's memory figures of a process, in KiB; -1 where unreadable.
struct MemoryFigures {
  int64_t rss_kib = -1;  // VmRSS: resident now
  int64_t hwm_kib = -1;  // VmHWM: the resident peak
};
MemoryFigures ReadMemoryFigures(const std::string& status_path = "/proc/self/status");
// Returns the allocator's free memory to the system and lowers this process's resident peak to
// what is resident then, so that a later VmHWM tells the peak of what ran in between. False
// when the kernel does not allow it.
bool ResetPeakMemory();

}  // namespace tessaly
