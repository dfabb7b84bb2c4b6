// Telling an orderly close from a reset, whether or not a receive has already reported it.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "http/peerend.h"
#include "net/tcpsocket.h"
#include "support/scriptedpeer.h"

namespace tessaly {
namespace {

struct PeerEndCase {
  std::string name;
  PeerScript script;
  bool receive_first;  // a receive has taken the end (and a reset's error) already
  TPeerEnd expected;
};

void PrintTo(const PeerEndCase& c, std::ostream* os) {
  *os << c.name;
}

class PeerEnd : public ::testing::TestWithParam<PeerEndCase> {};

TEST_P(PeerEnd, IsClassifiedByHowTheConnectionEnded) {
  const PeerEndCase& param = GetParam();
  ScriptedPeer peer(param.script);
  TTCPBlockSocket sock;
  sock.ConnectTo(peer.Host(), peer.PortText());
  ASSERT_EQ(sock.SocketError(), 0);
  if (!param.script.empty()) {
    // The end shows as readiness.
    ASSERT_TRUE(sock.WaitReadable(5000));
  }
  if (param.receive_first) {
    char byte = 0;
    EXPECT_LE(ReceiveBytes(sock.Handle(), &byte, 1, 0), 0);
  }
  EXPECT_EQ(ClassifyPeerEnd(sock.Handle()), param.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Http, PeerEnd,
    ::testing::Values(
        PeerEndCase{"Close", {PeerStep::Close()}, false, TPeerEnd::Orderly},
        PeerEndCase{"CloseAfterReceive", {PeerStep::Close()}, true, TPeerEnd::Orderly},
        PeerEndCase{"ShutdownWrite", {PeerStep::ShutdownWrite()}, false, TPeerEnd::Orderly},
        PeerEndCase{"Reset", {PeerStep::Reset()}, false, TPeerEnd::Aborted},
        PeerEndCase{"ResetAfterReceive", {PeerStep::Reset()}, true, TPeerEnd::Aborted},
        PeerEndCase{"StillOpen", {}, false, TPeerEnd::Aborted}),
    [](const auto& info) { return info.param.name; });

TEST(PeerEnd, OfNoConnectionIsNotOrderly) {
  EXPECT_EQ(ClassifyPeerEnd(INVALID_SOCKET), TPeerEnd::Aborted);
}

}  // namespace
}  // namespace tessaly
