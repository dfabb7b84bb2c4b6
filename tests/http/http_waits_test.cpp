// Waits that nothing on the peer's side ends: a connect to a listener whose queue is full, and
// a send to a peer that reads nothing. Each ends at the socket's own limit, at a stop request,
// or at the transaction deadline; the next transaction, on a new connection, succeeds.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <ostream>
#include <string>

#include "http_test_support.h"
#include "net/tcpsocket.h"

namespace tessaly {
namespace {

using httptest::AfterRequest;
using httptest::DocumentText;
using httptest::NewClient;
using httptest::PeerUrl;

constexpr int kLimitMs = 400;

// A listener with a queue of one that one connection fills: the kernel then ignores further
// connection requests, so their connects hang.
class FullQueue {
 public:
  FullQueue() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    filler_fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    ok_ = ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
          ::listen(listen_fd_, 0) == 0 &&
          ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
          ::connect(filler_fd_, reinterpret_cast<sockaddr*>(&address), length) == 0;
    port_ = ntohs(address.sin_port);
  }
  ~FullQueue() {
    ::close(filler_fd_);
    ::close(listen_fd_);
  }
  bool Ok() const { return ok_; }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/a.jpg"; }

 private:
  int listen_fd_ = -1;
  int filler_fd_ = -1;
  int port_ = 0;
  bool ok_ = false;
};

enum class Ending { OwnLimit, Stop, Deadline };

struct WaitCase {
  std::string name;
  bool connecting;  // else sending
  Ending ending;
  int code;  // SocketError afterwards
};

void PrintTo(const WaitCase& c, std::ostream* os) {
  *os << c.name;
}

class Waits : public ::testing::TestWithParam<WaitCase> {};

TEST_P(Waits, EndInTimeAndTheNextTransactionSucceeds) {
  const WaitCase& c = GetParam();
  FullQueue full;
  ASSERT_TRUE(full.Ok());
  ScriptedPeer::Options silent;
  silent.mode = ScriptedPeer::Mode::NeverAccept;
  ScriptedPeer deaf(PeerScript{}, silent);
  auto client = NewClient();
  TTCPBlockSocket& sock = client->Sock();
  int beats = 0;
  if (c.ending == Ending::OwnLimit) {
    sock.SetConnectTimeout(kLimitMs);
    sock.SetNonblockSendTimeout(kLimitMs);
  } else if (c.ending == Ending::Stop) {
    sock.SetHeartbeatRate(kLimitMs / 4);
    sock.SetOnHeartbeat([&beats](TBlockSocket& s) {
      if (++beats == 4) s.SetStopFlag(true);
    });
  } else {
    client->SetTransactionTimeout(kLimitMs);
  }
  if (!c.connecting) {
    // Far more than the kernel buffers for a peer that reads nothing.
    client->Document().Write(std::string(32 << 20, 'p'));
  }

  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(client->ExecuteRequest(c.connecting ? "GET" : "POST",
                                      c.connecting ? full.Url() : PeerUrl(deaf, "/up")));
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(sock.SocketError(), c.code) << sock.SocketErrorText();
  EXPECT_EQ(client->ResultCode(), 500);
  EXPECT_EQ(client->LimitExceeded(), c.ending == Ending::Deadline);
  // A stop may come before the limit would; it ends the wait within about a second.
  if (c.ending != Ending::Stop) {
    EXPECT_GE(elapsed, std::chrono::milliseconds(kLimitMs - 20));
  }
  EXPECT_LT(elapsed, std::chrono::milliseconds(kLimitMs + 1000));

  sock.SetOnHeartbeat(nullptr);
  sock.SetHeartbeatRate(0);
  ScriptedPeer good(AfterRequest(
      {PeerStep::Send("HTTP/1.0 200 OK\r\nContent-Length: 4\r\n\r\nfine"), PeerStep::Close()}));
  client->ResetMessage();
  EXPECT_TRUE(client->ExecuteRequest("GET", PeerUrl(good, "/next.jpg")));
  EXPECT_EQ(DocumentText(*client), "fine");
}

INSTANTIATE_TEST_SUITE_P(
    Http, Waits,
    ::testing::Values(WaitCase{"ConnectAtItsLimit", true, Ending::OwnLimit, ErrTimedOut},
                      WaitCase{"ConnectStopped", true, Ending::Stop, ErrStopped},
                      WaitCase{"ConnectAtTheDeadline", true, Ending::Deadline, ErrStopped},
                      WaitCase{"SendAtItsLimit", false, Ending::OwnLimit, ErrTimedOut},
                      WaitCase{"SendStopped", false, Ending::Stop, ErrStopped},
                      WaitCase{"SendAtTheDeadline", false, Ending::Deadline, ErrStopped}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace tessaly
