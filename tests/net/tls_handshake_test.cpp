// The OpenSSL plug's handshake against peers that do not speak TLS properly: each attempt must
// fail cleanly, with the socket's 10091 and the plug's own reason, within its time limit, and
// leave the TCP connection to the caller. Also the plug's names and its installation as the
// default plug class.
#include <openssl/opensslv.h>

#include <atomic>
#include <ostream>
#include <string>
#include <thread>

#include "net/socketerror.h"
#include "support/scriptedpeer.h"
#include "support/tlstesting.h"

namespace tessaly {
namespace {

constexpr int kLimitMs = 700;
// What scheduling may add to a wait on a busy machine.
constexpr int kSlackMs = 1500;

struct BadPeer {
  std::string name;
  PeerScript script;
  int plug_error;          // the plug's code for the failure
  std::string text_part;   // part of the plug's text
  bool runs_to_the_limit;  // false: the failure shows long before the limit
};

// Names the case in test listings.
void PrintTo(const BadPeer& c, std::ostream* out) {
  *out << c.name;
}

class TlsBadPeer : public TlsSocketTestP<BadPeer> {};

TEST_P(TlsBadPeer, FailsCleanlyWithinTheLimit) {
  const BadPeer& bad = GetParam();
  ScriptedPeer peer(bad.script);
  ASSERT_EQ(peer.SetupError(), "");
  auto sock = NewTlsSocket();
  sock->ConnectTo(peer.Host(), peer.PortText());
  ASSERT_EQ(sock->SocketError(), 0);
  sock->SSLPlug().SetTimeout(kLimitMs);

  Stopwatch watch;
  sock->OpenTlsSession();
  const long long took = watch.Ms();

  EXPECT_EQ(sock->SocketError(), ErrNegotiationFailed);
  EXPECT_EQ(sock->SSLPlug().PlugError(), bad.plug_error) << sock->SSLPlug().PlugErrorText();
  EXPECT_NE(sock->SSLPlug().PlugErrorText().find(bad.text_part), std::string::npos)
      << sock->SSLPlug().PlugErrorText();
  EXPECT_EQ(sock->SocketErrorText(), sock->SSLPlug().PlugErrorText());
  EXPECT_FALSE(sock->SSLPlug().TLSActive());
  EXPECT_NE(sock->Handle(), INVALID_SOCKET) << "the TCP connection is the caller's to close";
  EXPECT_LT(took, kLimitMs + kSlackMs);
  if (bad.runs_to_the_limit) {
    EXPECT_GE(took, kLimitMs - 20);
  } else {
    EXPECT_LT(took, kLimitMs);
  }
  // Whatever the peer did, the client's hello is what it saw first.
  ASSERT_TRUE(peer.WaitReceived(1, 5000));
  EXPECT_EQ(peer.Received()[0], '\x16') << "a TLS handshake record";
}

INSTANTIATE_TEST_SUITE_P(
    Table, TlsBadPeer,
    ::testing::Values(
        BadPeer{"StallsAfterAccepting", {}, ErrTimedOut, "TLS handshake timed out", true},
        BadPeer{"ClosesMidHandshake",
                {PeerStep::AwaitBytes(1), PeerStep::Close()},
                ErrPeerClosed,
                "closed the connection",
                false},
        BadPeer{"ResetsMidHandshake",
                {PeerStep::AwaitBytes(1), PeerStep::Reset()},
                ErrPeerClosed,
                "TLS handshake failed",
                false},
        BadPeer{"AnswersInPlainHttp",
                {PeerStep::AwaitBytes(1),
                 PeerStep::Send("HTTP/1.0 400 Bad Request\r\nContent-Length: 0\r\n\r\n"),
                 PeerStep::AwaitEof()},
                1,  // the library's own protocol error
                "TLS handshake failed: ",
                false},
        BadPeer{"SendsHalfARecordThenStalls",
                {PeerStep::AwaitBytes(1), PeerStep::Send(std::string("\x16\x03\x03\x40\x00", 5))},
                ErrTimedOut,
                "TLS handshake timed out",
                true}),
    [](const auto& info) { return info.param.name; });

// How the handshake is stopped from outside while it waits without a time limit.
enum class StopBy { FlagFromAnotherThread, FlagFromTheHeartbeat };

class TlsStop : public TlsSocketTestP<StopBy> {};

TEST_P(TlsStop, AbortsAHandshakeThatHasNoLimit) {
  ScriptedPeer peer({});
  ASSERT_EQ(peer.SetupError(), "");
  auto sock = NewTlsSocket();
  sock->ConnectTo(peer.Host(), peer.PortText());
  ASSERT_EQ(sock->SocketError(), 0);
  sock->SSLPlug().SetTimeout(-1);

  std::atomic<int> beats{0};
  std::thread stopper;
  if (GetParam() == StopBy::FlagFromAnotherThread) {
    stopper = std::thread([&] {
      // Once the hello has arrived the plug is waiting for the answer.
      if (peer.WaitReceived(1, 5000)) sock->SetStopFlag(true);
    });
  } else {
    sock->SetHeartbeatRate(20);
    sock->SetOnHeartbeat([&](TBlockSocket& s) {
      if (++beats == 5) s.SetStopFlag(true);
    });
  }
  Stopwatch watch;
  sock->OpenTlsSession();
  const long long took = watch.Ms();
  if (stopper.joinable()) stopper.join();

  EXPECT_EQ(sock->SocketError(), ErrNegotiationFailed);
  EXPECT_EQ(sock->SSLPlug().PlugError(), ErrStopped) << sock->SSLPlug().PlugErrorText();
  EXPECT_EQ(sock->SSLPlug().PlugErrorText(), "TLS handshake stopped");
  EXPECT_FALSE(sock->StopFlag()) << "a stop request is used up by the stop";
  EXPECT_LT(took, kSlackMs);
  if (GetParam() == StopBy::FlagFromTheHeartbeat) {
    EXPECT_EQ(beats.load(), 5);
  }
}

INSTANTIATE_TEST_SUITE_P(Table, TlsStop,
                         ::testing::Values(StopBy::FlagFromAnotherThread,
                                           StopBy::FlagFromTheHeartbeat),
                         [](const auto& info) {
                           return info.param == StopBy::FlagFromAnotherThread ? "OtherThread"
                                                                              : "Heartbeat";
                         });

struct Unusable {
  std::string name;
  TSSLType type;
  bool connect;
  int plug_error;
};

// Names the case in test listings.
void PrintTo(const Unusable& c, std::ostream* out) {
  *out << c.name;
}

class TlsUnusable : public TlsSocketTestP<Unusable> {};

TEST_P(TlsUnusable, FailsBeforeSendingAnything) {
  const Unusable& u = GetParam();
  ScriptedPeer peer({});
  ASSERT_EQ(peer.SetupError(), "");
  auto sock = NewTlsSocket();
  if (u.connect) sock->ConnectTo(peer.Host(), peer.PortText());
  sock->SSLPlug().SetSSLType(u.type);
  sock->SSLPlug().SetTimeout(kLimitMs);
  Stopwatch watch;
  sock->OpenTlsSession();
  EXPECT_EQ(sock->SocketError(), ErrNegotiationFailed);
  EXPECT_EQ(sock->SSLPlug().PlugError(), u.plug_error) << sock->SSLPlug().PlugErrorText();
  EXPECT_LT(watch.Ms(), kLimitMs);
  EXPECT_EQ(peer.Received(), "");
}

INSTANTIATE_TEST_SUITE_P(Table, TlsUnusable,
                         ::testing::Values(Unusable{"NotConnected", LT_all, false, WSAENOTCONN},
                                           Unusable{"SSLv2", LT_SSLv2, true, WSAEPROTONOSUPPORT},
                                           Unusable{"SSLv3", LT_SSLv3, true, WSAEPROTONOSUPPORT},
                                           Unusable{"SSH", LT_SSHv2, true, WSAEPROTONOSUPPORT}),
                         [](const auto& info) { return info.param.name; });

TEST_F(TlsSocketTest, PlugNamesItsLibraryAndVersion) {
  auto sock = NewTlsSocket();
  TCustomSSL& plug = sock->SSLPlug();
  EXPECT_EQ(plug.ProviderName(), "ssl_openssl");
  const std::string version =
      std::to_string(OPENSSL_VERSION_MAJOR) + "." + std::to_string(OPENSSL_VERSION_MINOR) + ".";
  EXPECT_EQ(plug.ProviderDescription().rfind("OpenSSL " + version, 0), 0u)
      << plug.ProviderDescription();
  EXPECT_TRUE(plug.LibraryAvailable());
  EXPECT_FALSE(plug.VerifyCert());
  EXPECT_EQ(plug.VerifyResult(), 1) << "nothing verified yet";
  EXPECT_EQ(plug.PeerSubject(), "");
  EXPECT_EQ(plug.CipherName(), "");
  EXPECT_EQ(plug.PendingData(), 0);
}

TEST_F(TlsSocketTest, StartUpMakesVerifyingPlugsTheDefaultUntilReset) {
  UseOpenSSLByDefault();
  auto secure = TTCPBlockSocket::CreateDefault();
  SetDefaultSSLPlugClass(nullptr);
  auto plain = TTCPBlockSocket::CreateDefault();

  EXPECT_EQ(secure->SSLPlug().ProviderName(), "ssl_openssl");
  EXPECT_TRUE(secure->SSLPlug().VerifyCert());
  EXPECT_EQ(plain->SSLPlug().ProviderName(), "ssl_none");
  EXPECT_FALSE(plain->SSLPlug().VerifyCert());
}

TEST_F(TlsSocketTest, DataOperationsWithoutASessionFail) {
  auto sock = NewTlsSocket();
  TCustomSSL& plug = sock->SSLPlug();
  char byte = 'x';
  EXPECT_EQ(plug.SendData(&byte, 1), -1);
  EXPECT_EQ(plug.PlugError(), WSAENOTCONN);
  EXPECT_EQ(plug.ReceiveData(&byte, 1), -1);
  EXPECT_EQ(plug.PlugError(), WSAENOTCONN);
  EXPECT_TRUE(plug.ShutdownTLS()) << "nothing to end";
  EXPECT_EQ(plug.PlugError(), 0);
}

}  // namespace
}  // namespace tessaly
