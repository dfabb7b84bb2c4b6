// A scripted loopback peer for socket and protocol tests.
//
// The peer listens on 127.0.0.1 or ::1, port 0, before its constructor returns (so a client may
// connect at once), accepts connections one after another and plays one script per
// connection on its own thread. Everything it receives is recorded. The destructor stops the
// thread (interrupting any wait) and joins it.
//
//   ScriptedPeer peer({PeerStep::AwaitText("\r\n\r\n"), PeerStep::Send("HTTP/1.0 200 OK\r\n\r\n"),
//                      PeerStep::Close()});
//   client.ConnectTo(peer.Host(), peer.PortText());
//   ...
//   ASSERT_TRUE(peer.WaitFinished(5000)) << peer.Failure();
//   EXPECT_EQ(peer.Received(), expected_request);
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tessaly {

// One step of a script. Build steps with the static functions.
struct PeerStep {
  enum class Kind { Send, Pause, AwaitBytes, AwaitText, AwaitEof, Close, Reset, ShutdownWrite };
  Kind kind = Kind::Pause;
  std::string bytes;  // Send: what to send; AwaitText: the text to wait for
  size_t count = 0;   // AwaitBytes: total bytes received on this connection to wait for
  int ms = 0;         // Pause: milliseconds

  // Sends all bytes as one send call (the kernel may still split or merge them on the way).
  static PeerStep Send(std::string bytes);
  // Waits this long, still recording what arrives. Use it to put bytes into separate packets.
  static PeerStep Pause(int ms);
  // Waits until this connection has received at least `total` bytes in all.
  static PeerStep AwaitBytes(size_t total);
  // Waits until `text` occurs in what this connection received after the previous AwaitText
  // match (or from the start).
  static PeerStep AwaitText(std::string text);
  // Waits until the client closes or shuts down its sending side.
  static PeerStep AwaitEof();
  // Orderly close of the connection; the script ends here.
  static PeerStep Close();
  // Abortive close (linger on, time 0): the client sees a reset. The script ends here.
  static PeerStep Reset();
  // Shuts down the peer's sending side; it keeps receiving.
  static PeerStep ShutdownWrite();
};

using PeerScript = std::vector<PeerStep>;

class ScriptedPeer {
 public:
  enum class Mode {
    Script,       // accept and play the scripts
    NeverAccept,  // listen only: connects complete in the kernel, nothing is ever read
    FullQueue,    // NeverAccept with a queue of one that the peer fills: connects hang
  };

  struct Options {
    std::string host = "127.0.0.1";  // "127.0.0.1" or "::1"
    Mode mode = Mode::Script;
    int await_timeout_ms = 10000;  // limit of each Await step; running out is a Failure()
  };

  // One connection playing `script`. An empty script accepts and stays silent, recording.
  explicit ScriptedPeer(PeerScript script);
  ScriptedPeer(PeerScript script, Options options);
  // Connection i (in accept order) plays scripts[i]; further connections are not accepted.
  ScriptedPeer(std::vector<PeerScript> scripts, Options options);
  // Stops the thread, closes every socket, joins.
  ~ScriptedPeer();
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  // Where to connect: the host text as given, the port the system picked.
  const std::string& Host() const { return options_.host; }
  int Port() const { return port_; }
  std::string PortText() const { return std::to_string(port_); }
  // Empty when the listening socket could not be made (Port() is then 0).
  const std::string& SetupError() const { return setup_error_; }

  // All bytes received, over all connections in order (thread-safe snapshot).
  std::string Received() const;
  // Bytes received on connection i (0-based); "" when there is no such connection.
  std::string Received(size_t connection) const;
  // Connections accepted so far.
  size_t Accepted() const;
  // Waits until at least `count` bytes have arrived over all connections; false on time-out.
  bool WaitReceived(size_t count, int timeout_ms) const;
  // Waits until every script has been played to its end (a script that does not close keeps
  // its connection open, still recording, until the client closes it or the peer is
  // destroyed). False on time-out.
  bool WaitFinished(int timeout_ms) const;
  // Why a script did not finish normally ("" when all went well): an Await step that ran out,
  // a send that failed.
  std::string Failure() const;

 private:
  void Run();
  // Plays one script on an accepted connection; answers false when the peer is stopping.
  bool Play(int fd, size_t index, const PeerScript& script);
  // Waits up to timeout_ms (-1 no limit) for the connection to be readable (recording what
  // arrives) or for `writable`; answers false when the peer is stopping.
  bool Pump(int fd, size_t index, int timeout_ms, bool want_write, bool* writable, bool* eof);
  void Fail(const std::string& why);

  Options options_;
  std::vector<PeerScript> scripts_;
  int listen_fd_ = -1;
  int filler_fd_ = -1;  // FullQueue: the connection that fills the queue
  int wake_fd_ = -1;    // eventfd: written by the destructor to interrupt every wait
  int port_ = 0;
  std::string setup_error_;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::string> received_;  // per connection
  size_t total_received_ = 0;
  bool finished_ = false;
  std::string failure_;
  std::thread thread_;
};

}  // namespace tessaly
// API complete
