// How a connection ends: the socket tells the peer's orderly close from a reset, whether or not
// bytes came first, and a close drains a peer that never stops sending only so far. In each
// case a new connection on the same object then works.
#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>

#include "blocksocket_testing.h"
#include "net/tcpsocket.h"
#include "support/floodpeer.h"
#include "support/scriptedpeer.h"

namespace tessaly {
namespace {

struct EndCase {
  std::string name;
  PeerScript script;
  TPeerEnd expected;
  bool direct = false;  // met by ReadSome itself rather than by a buffered read
};

void PrintTo(const EndCase& c, std::ostream* os) {
  *os << c.name;
}

// A new connection on the same socket starts without an end and carries data.
void ExpectANewConnectionWorks(TTCPBlockSocket& sock) {
  ScriptedPeer next({PeerStep::Send("next"), PeerStep::Close()});
  sock.CloseNow();
  sock.ConnectTo(next.Host(), next.PortText());
  ASSERT_EQ(sock.SocketError(), 0) << sock.SocketErrorText();
  EXPECT_EQ(sock.PeerEnd(), TPeerEnd::Open);
  EXPECT_EQ(sock.ReadExactText(4, 5000), "next");
}

class PeerEnds : public SocketLayerTestP<EndCase> {};

TEST_P(PeerEnds, AreRecordedByTheReadThatMeetsThem) {
  // The peer ends the connection only once the client is connected and says so: an end that
  // came before the connect had returned would be the connect's, not a read's.
  PeerScript script = GetParam().script;
  script.insert(script.begin(), PeerStep::AwaitText("go"));
  ScriptedPeer peer(script);
  TTCPBlockSocket sock;
  sock.ConnectTo(peer.Host(), peer.PortText());
  ASSERT_EQ(sock.SocketError(), 0) << sock.SocketErrorText();
  sock.WriteBlock("go");
  ASSERT_EQ(sock.SocketError(), 0) << sock.SocketErrorText();
  char buffer[16];
  while (sock.SocketError() == 0) {
    if (!GetParam().direct) {
      sock.ReadAvailable(5000);
    } else if (sock.WaitReadable(5000)) {
      sock.ReadSome(buffer, sizeof buffer);
    }
  }
  EXPECT_EQ(sock.SocketError(), ErrPeerClosed) << sock.SocketErrorText();
  EXPECT_EQ(sock.PeerEnd(), GetParam().expected);
  ExpectANewConnectionWorks(sock);
}

INSTANTIATE_TEST_SUITE_P(
    Net, PeerEnds,
    ::testing::Values(
        EndCase{"Close", {PeerStep::Close()}, TPeerEnd::Orderly},
        EndCase{"BytesThenClose", {PeerStep::Send("abc"), PeerStep::Close()}, TPeerEnd::Orderly},
        EndCase{"ShutdownWrite", {PeerStep::ShutdownWrite()}, TPeerEnd::Orderly},
        EndCase{"Reset", {PeerStep::Reset()}, TPeerEnd::Reset},
        EndCase{"ResetMetByReadSome", {PeerStep::Reset()}, TPeerEnd::Reset, true},
        EndCase{"BytesThenReset",
                {PeerStep::Send("abc"), PeerStep::Pause(50), PeerStep::Reset()},
                TPeerEnd::Reset}),
    [](const auto& info) { return info.param.name; });

class DrainOnClose : public SocketLayerTestP<std::string> {};

TEST_P(DrainOnClose, StopsWhileThePeerStillSends) {
  FloodPeer::Options options;
  options.host = GetParam();
  options.await_text = "";
  options.generate = FloodPeer::Repeat("flood");
  options.cap = uint64_t{64} << 30;  // more than any drain may take
  FloodPeer peer(options);
  ASSERT_EQ(peer.SetupError(), "");
  TTCPBlockSocket sock;
  sock.ConnectTo(peer.Host(), peer.PortText());
  ASSERT_FALSE(sock.ReadAvailable(5000).empty()) << sock.SocketErrorText();
  const auto start = std::chrono::steady_clock::now();
  sock.Close();
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_LT(elapsed, std::chrono::seconds(2));
  ASSERT_TRUE(peer.WaitEnded(5000));
  EXPECT_TRUE(peer.ClientLeftMidStream());
  ExpectANewConnectionWorks(sock);
}

INSTANTIATE_TEST_SUITE_P(Net, DrainOnClose, ::testing::Values("127.0.0.1", "::1"),
                         [](const auto& info) { return info.param == "::1" ? "IPv6" : "IPv4"; });

}  // namespace
}  // namespace tessaly
