// Connections: failures before anything is read, reuse of an idle connection under HTTP/1.1,
// and the close decision.
#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "http/httpclient.h"
#include "http_test_support.h"
#include "net/tcpsocket.h"
#include "support/childprocess.h"
#include "support/scriptedpeer.h"

namespace tessaly {
namespace {

using httptest::DocumentText;
using httptest::NewClient;
using httptest::PeerUrl;

PeerStep Send(const std::string& bytes) {
  return PeerStep::Send(bytes);
}
PeerStep AwaitRequest() {
  return PeerStep::AwaitText("\r\n\r\n");
}
std::string Answer(const std::string& body, const std::string& extra = "") {
  return "HTTP/1.1 200 OK\r\n" + extra + "Content-Length: " + std::to_string(body.size()) +
         "\r\n\r\n" + body;
}

struct FailedConnectCase {
  std::string name;
  std::string scheme;
  bool listening;  // a peer accepts the TCP connection
};

void PrintTo(const FailedConnectCase& c, std::ostream* os) {
  *os << c.name;
}

class FailedConnection : public ::testing::TestWithParam<FailedConnectCase> {};

TEST_P(FailedConnection, LeavesCode500AndTheComposedRequest) {
  const FailedConnectCase& param = GetParam();
  std::unique_ptr<ScriptedPeer> peer;
  int port = 0;
  if (param.listening) {
    peer = std::make_unique<ScriptedPeer>(PeerScript{});
    port = peer->Port();
  } else {
    port = PickFreePort();
  }
  ASSERT_NE(port, 0);
  const std::string port_text = std::to_string(port);
  auto client = NewClient();
  client->Headers().Add("X-Caller: 1");

  EXPECT_FALSE(client->ExecuteRequest("GET", param.scheme + "://127.0.0.1:" + port_text + "/p"));
  EXPECT_EQ(client->ResultCode(), 500);
  EXPECT_EQ(client->ResultString(), "");
  EXPECT_EQ(client->ConnectedHost(), "");
  EXPECT_EQ(client->ConnectedPort(), "");
  EXPECT_EQ(client->Headers().Lines(),
            (std::vector<std::string>{"GET /p HTTP/1.0", "Host: 127.0.0.1:" + port_text,
                                      "User-Agent: Mozilla/4.0 (compatible; Tessaly)",
                                      "X-Caller: 1", ""}));
  if (peer) {
    client.reset();
    ASSERT_TRUE(peer->WaitFinished(5000));
    EXPECT_EQ(peer->Accepted(), 1u);
    EXPECT_EQ(peer->Received(), "");  // nothing goes out when TLS cannot start
  }
}

INSTANTIATE_TEST_SUITE_P(Http, FailedConnection,
                         ::testing::Values(FailedConnectCase{"Refused", "http", false},
                                           FailedConnectCase{"HttpsHasNoTls", "https", true}),
                         [](const auto& info) { return info.param.name; });

// With and without a transaction deadline, whose wait slices must not delay the idle test.
class Reuse : public ::testing::TestWithParam<int> {};

TEST_P(Reuse, KeepsAnIdleHttp11Connection) {
  ScriptedPeer peer({AwaitRequest(), Send(Answer("one")), AwaitRequest(), Send(Answer("two")),
                     PeerStep::AwaitEof()});
  auto client = NewClient();
  client->SetProtocol("1.1");
  client->SetTransactionTimeout(GetParam());
  ASSERT_TRUE(client->ExecuteRequest("GET", PeerUrl(peer, "/1")));
  EXPECT_EQ(DocumentText(*client), "one");
  EXPECT_EQ(client->ConnectedHost(), "127.0.0.1");
  EXPECT_EQ(client->ConnectedPort(), peer.PortText());
  client->Headers().Clear();
  ASSERT_TRUE(client->ExecuteRequest("GET", PeerUrl(peer, "/2")));
  EXPECT_EQ(DocumentText(*client), "two");
  client.reset();
  ASSERT_TRUE(peer.WaitFinished(5000)) << peer.Failure();
  EXPECT_EQ(peer.Accepted(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Http, Reuse, ::testing::Values(0, 60000));

TEST(Connection, ClosedByTheServerWhileIdleIsReplaced) {
  ScriptedPeer peer({{AwaitRequest(), Send(Answer("one")), PeerStep::Close()},
                     {AwaitRequest(), Send(Answer("two")), PeerStep::AwaitEof()}},
                    ScriptedPeer::Options{});
  auto client = NewClient();
  client->SetProtocol("1.1");
  ASSERT_TRUE(client->ExecuteRequest("GET", PeerUrl(peer, "/1")));
  ASSERT_NE(client->Sock().Handle(), INVALID_SOCKET);
  // Waits for the server's close to arrive, so that the next request sees it.
  ASSERT_TRUE(client->Sock().WaitReadable(5000));
  client->Headers().Clear();
  ASSERT_TRUE(client->ExecuteRequest("GET", PeerUrl(peer, "/2")));
  EXPECT_EQ(DocumentText(*client), "two");
  client.reset();
  ASSERT_TRUE(peer.WaitFinished(5000)) << peer.Failure();
  EXPECT_EQ(peer.Accepted(), 2u);
}

struct CloseCase {
  std::string name;
  std::string protocol;
  std::string extra_header;
  bool kept;
};

void PrintTo(const CloseCase& c, std::ostream* os) {
  *os << c.name;
}

class CloseDecision : public ::testing::TestWithParam<CloseCase> {};

TEST_P(CloseDecision, FollowsProtocolAndConnectionHeader) {
  const CloseCase& param = GetParam();
  ScriptedPeer peer({AwaitRequest(), Send(Answer("x", param.extra_header)), PeerStep::AwaitEof()});
  auto client = NewClient();
  client->SetProtocol(param.protocol);
  ASSERT_TRUE(client->ExecuteRequest("GET", PeerUrl(peer, "/")));
  EXPECT_EQ(client->Sock().Handle() != INVALID_SOCKET, param.kept);
  EXPECT_EQ(client->ConnectedHost(), param.kept ? "127.0.0.1" : "");
  if (!param.kept) {
    // The server sees our close while the client object still exists.
    EXPECT_TRUE(peer.WaitFinished(5000)) << peer.Failure();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Http, CloseDecision,
    ::testing::Values(
        CloseCase{"Http10Closes", "1.0", "", false}, CloseCase{"Http11Keeps", "1.1", "", true},
        CloseCase{"Http11WithConnectionClose", "1.1", "Connection: close\r\n", false},
        CloseCase{"Http11WithConnectionCloseInCapitals", "1.1", "CONNECTION: CLOSE\r\n", false},
        CloseCase{"Http11WithKeepAliveHeader", "1.1", "Connection: keep-alive\r\n", true}),
    [](const auto& info) { return info.param.name; });

TEST(Connection, ToAnotherTargetIsNew) {
  ScriptedPeer first({AwaitRequest(), Send(Answer("a")), PeerStep::AwaitEof()});
  ScriptedPeer second({AwaitRequest(), Send(Answer("b")), PeerStep::AwaitEof()});
  auto client = NewClient();
  client->SetProtocol("1.1");
  ASSERT_TRUE(client->ExecuteRequest("GET", PeerUrl(first, "/")));
  client->Headers().Clear();
  ASSERT_TRUE(client->ExecuteRequest("GET", PeerUrl(second, "/")));
  EXPECT_EQ(DocumentText(*client), "b");
  EXPECT_EQ(client->ConnectedPort(), second.PortText());
  // The first connection was closed when the second was opened.
  EXPECT_TRUE(first.WaitFinished(5000)) << first.Failure();
}

TEST(Connection, FailedTransactionLeavesTheConnectionAsItWas) {
  ScriptedPeer peer({AwaitRequest(), Send("HTTP/1.0 200 OK\r\nX-Never: ending")});
  auto client = NewClient(300);
  EXPECT_FALSE(client->ExecuteRequest("GET", PeerUrl(peer, "/")));
  EXPECT_EQ(client->ResultCode(), 200);
  EXPECT_NE(client->Sock().Handle(), INVALID_SOCKET);
  EXPECT_FALSE(client->LimitExceeded());
}

}  // namespace
}  // namespace tessaly
