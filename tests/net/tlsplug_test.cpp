// The TLS plug: the empty plug's fixed answers, the plug class setting, the TLS start on a
// socket without TLS support, and the socket's data path through a plug that is active.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "blocksocket_testing.h"
#include "net/tcpsocket.h"
#include "support/scriptedpeer.h"
#include "wirebytes.h"

namespace tessaly {
namespace {

const char kNotCompiled[] = "SSL/TLS support is not compiled!";

// ---- The plug without TLS -------------------------------------------------------------------

class SSLNone : public SocketLayerTest {};

TEST_F(SSLNone, NamesItsProviderAndTheBaseClassDoesNot) {
  TTCPBlockSocket sock;
  TSSLNone none(sock);
  TCustomSSL custom(sock);
  EXPECT_EQ(none.ProviderName(), "ssl_none");
  EXPECT_EQ(none.ProviderDescription(), "Without SSL support");
  EXPECT_EQ(custom.ProviderName(), "");
  EXPECT_EQ(custom.ProviderDescription(), "");
  EXPECT_EQ(&none.OwnerSocket(), &sock);
  EXPECT_FALSE(none.TLSActive());
  EXPECT_EQ(none.PlugError(), 0);
  EXPECT_EQ(none.PlugErrorText(), "");
  EXPECT_EQ(none.SSLType(), LT_all);
  EXPECT_FALSE(none.VerifyCert());
}

struct PlugOperation {
  std::string name;
  std::function<int(TCustomSSL&)> call;
  int expected;
};
void PrintTo(const PlugOperation& row, std::ostream* os) {
  *os << row.name;
}

class SSLNoneOperation : public SocketLayerTestP<std::tuple<bool, PlugOperation>> {};

TEST_P(SSLNoneOperation, FailsAsNotCompiled) {
  const bool base_class = std::get<0>(GetParam());
  const PlugOperation& op = std::get<1>(GetParam());
  TTCPBlockSocket sock;
  std::unique_ptr<TCustomSSL> plug =
      base_class ? std::make_unique<TCustomSSL>(sock) : std::make_unique<TSSLNone>(sock);
  EXPECT_EQ(op.call(*plug), op.expected);
  EXPECT_EQ(plug->PlugError(), -1);
  EXPECT_EQ(plug->PlugErrorText(), kNotCompiled);
  EXPECT_FALSE(plug->TLSActive());
}

INSTANTIATE_TEST_SUITE_P(
    Table, SSLNoneOperation,
    ::testing::
        Combine(
            ::testing::Bool(),
            ::testing::Values(
                PlugOperation{"ConnectTLS", [](TCustomSSL& p) { return int{p.ConnectTLS()}; }, 0},
                PlugOperation{"AcceptTLS", [](TCustomSSL& p) { return int{p.AcceptTLS()}; }, 0},
                PlugOperation{"ShutdownTLS", [](TCustomSSL& p) { return int{p.ShutdownTLS()}; }, 0},
                PlugOperation{
                    "CloseTLSBothWays",
                    [](TCustomSSL& p) { return int{p.CloseTLSBothWays()}; }, 0},
                PlugOperation{"SendData", [](TCustomSSL& p) { return p.SendData("x", 1); }, -1},
                PlugOperation{
                    "ReceiveData",
                    [](TCustomSSL& p) {
                      char c;
                      return p.ReceiveData(&c, 1);
                    },
                    -1},
                PlugOperation{"PendingData", [](TCustomSSL& p) { return p.PendingData(); }, 0})),
    [](const auto& info) {
      return std::string(std::get<0>(info.param) ? "Custom_" : "None_") +
             std::get<1>(info.param).name;
    });

TEST_F(SSLNone, QueriesAnswerEmptyAndNotVerified) {
  TTCPBlockSocket sock;
  TSSLNone plug(sock);
  for (const Text& t : {plug.PeerSubject(), plug.PeerIssuer(), plug.PeerName(), plug.PeerSerial(),
                        plug.PeerFingerprint(), plug.CipherName(), plug.ProtocolVersionName()}) {
    EXPECT_EQ(t, "");
  }
  EXPECT_EQ(plug.CipherBits(), 0);
  EXPECT_EQ(plug.CipherAlgorithmBits(), 0);
  EXPECT_EQ(plug.VerifyResult(), 1);
  EXPECT_FALSE(plug.LibraryAvailable());
  EXPECT_EQ(plug.PlugError(), 0) << "queries must not touch the error";
}

TEST_F(SSLNone, CopiesSettingsButNotChannelStateOrError) {
  TTCPBlockSocket a_sock;
  TTCPBlockSocket b_sock;
  TSSLNone from(a_sock);
  TSSLNone to(b_sock);
  from.SetUsername("user");
  from.SetPassword("pass");
  from.SetVerifyCert(true);
  from.SetSSLType(LT_TLSv1_1);
  from.SetKeyPassword("kp");
  from.SetCiphers("ciphers");
  from.SetCertificateFile("cf");
  from.SetPrivateKeyFile("pkf");
  from.SetCertCAFile("caf");
  from.SetCertCA("ca");
  from.SetTrustCertificate("tc");
  from.SetTrustCertificateFile("tcf");
  from.SetCertificate("c");
  from.SetPrivateKey("pk");
  from.SetPFX("pfx");
  from.SetPFXfile("pfxf");
  from.SetSSHChannelType("session");
  from.SetSSHChannelArg1("a1");
  from.SetSSHChannelArg2("a2");
  from.ConnectTLS();  // leaves an error on `from`

  to.CopySettingsFrom(from);

  EXPECT_EQ(to.Username(), "user");
  EXPECT_EQ(to.Password(), "pass");
  EXPECT_TRUE(to.VerifyCert());
  EXPECT_EQ(to.SSLType(), LT_TLSv1_1);
  EXPECT_EQ(to.KeyPassword(), "kp");
  EXPECT_EQ(to.Ciphers(), "ciphers");
  EXPECT_EQ(to.CertificateFile(), "cf");
  EXPECT_EQ(to.PrivateKeyFile(), "pkf");
  EXPECT_EQ(to.CertCAFile(), "caf");
  EXPECT_EQ(to.CertCA(), "ca");
  EXPECT_EQ(to.TrustCertificate(), "tc");
  EXPECT_EQ(to.TrustCertificateFile(), "tcf");
  EXPECT_EQ(to.Certificate(), "c");
  EXPECT_EQ(to.PrivateKey(), "pk");
  EXPECT_EQ(to.PFX(), "pfx");
  EXPECT_EQ(to.PFXfile(), "pfxf");
  EXPECT_EQ(to.SSHChannelType(), "");
  EXPECT_EQ(to.SSHChannelArg1(), "");
  EXPECT_EQ(to.SSHChannelArg2(), "");
  EXPECT_EQ(to.PlugError(), 0);
  EXPECT_EQ(&to.OwnerSocket(), &b_sock);
}

// ---- The plug class setting -----------------------------------------------------------------

class NamedPlug : public TCustomSSL {
 public:
  using TCustomSSL::TCustomSSL;
  Text ProviderName() const override { return "named"; }
};

class DefaultPlugClass : public SocketLayerTest {};

TEST_F(DefaultPlugClass, IsTheEmptyPlugUntilChanged) {
  ASSERT_EQ(DefaultSSLPlugClass(), &SSLPlugClass<TSSLNone>);
  auto sock = TTCPBlockSocket::CreateDefault();
  EXPECT_EQ(sock->SSLPlug().ProviderName(), "ssl_none");
  EXPECT_EQ(&sock->SSLPlug().OwnerSocket(), sock.get());

  SetDefaultSSLPlugClass(&SSLPlugClass<NamedPlug>);
  auto changed = TTCPBlockSocket::CreateDefault();
  SetDefaultSSLPlugClass(nullptr);
  EXPECT_EQ(changed->SSLPlug().ProviderName(), "named");
  EXPECT_EQ(DefaultSSLPlugClass(), &SSLPlugClass<TSSLNone>);
  EXPECT_EQ(sock->SSLPlug().ProviderName(), "ssl_none") << "existing sockets keep their plug";

  auto chosen = TTCPBlockSocket::CreateWithPlug(&SSLPlugClass<NamedPlug>);
  EXPECT_EQ(chosen->SSLPlug().ProviderName(), "named");
  EXPECT_EQ(&chosen->SSLPlug().OwnerSocket(), chosen.get());
}

// ---- Starting TLS without TLS support -------------------------------------------------------

class OpenTlsSession : public SocketLayerTest {};

TEST_F(OpenTlsSession, FailsWithTheFixedTextAndKeepsTheConnection) {
  ScriptedPeer peer({PeerStep::AwaitText("after"), PeerStep::Send("still here")});
  ASSERT_EQ(peer.SetupError(), "");
  std::vector<std::string> failures;
  auto sock = TTCPBlockSocket::CreateDefault();
  sock->SetOnStatus([&](TBlockSocket&, THookSocketReason reason, const Text& value) {
    if (reason == SR_Failed) failures.push_back(value);
  });
  sock->ConnectTo(peer.Host(), peer.PortText());
  ASSERT_EQ(sock->SocketError(), 0) << sock->SocketErrorText();

  sock->OpenTlsSession();

  EXPECT_EQ(sock->SocketError(), WSASYSNOTREADY);
  EXPECT_EQ(sock->SocketErrorText(), kNotCompiled);
  EXPECT_EQ(sock->GetErrorDescEx(), kNotCompiled);
  EXPECT_EQ(sock->SSLPlug().PlugError(), -1);
  EXPECT_FALSE(sock->SSLPlug().TLSActive());
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0], std::string("10091,") + kNotCompiled);

  // The TCP connection is still there, in both directions.
  ASSERT_NE(sock->Handle(), INVALID_SOCKET);
  sock->WriteText("after");
  ASSERT_EQ(sock->SocketError(), 0) << sock->SocketErrorText();
  EXPECT_EQ(sock->ReadExactText(10, 5000), "still here") << sock->SocketErrorText();
}

TEST_F(OpenTlsSession, RaisesWhenAskedTo) {
  ScriptedPeer peer({});
  ASSERT_EQ(peer.SetupError(), "");
  TTCPBlockSocket sock;
  sock.ConnectTo(peer.Host(), peer.PortText());
  ASSERT_EQ(sock.SocketError(), 0) << sock.SocketErrorText();
  sock.SetRaiseExcept(true);
  try {
    sock.OpenTlsSession();
    FAIL() << "no exception";
  } catch (const ENetSocketError& e) {
    EXPECT_EQ(e.ErrorCode(), WSASYSNOTREADY);
    EXPECT_EQ(e.ErrorMessage(), kNotCompiled);
    EXPECT_EQ(std::string(e.what()), std::string("TCP/IP Socket error 10091: ") + kNotCompiled);
  }
}

// ---- The data path through an active plug ---------------------------------------------------

// A stand-in for a real TLS plug: "encrypts" by XOR over the owner's handle, hands out at most
// two decrypted bytes per receive (keeping the rest pending), and can be told to misbehave.
class XorPlug : public TCustomSSL {
 public:
  static constexpr char kKey = 0x5A;
  using TCustomSSL::TCustomSSL;

  bool ConnectTLS() override {
    ClearPlugError();
    if (SocketHandle() == INVALID_SOCKET) {
      SetPlugError(1, "no connection");
      return false;
    }
    SetTLSActive(true);
    return true;
  }
  bool ShutdownTLS() override {
    ClearPlugError();
    ++shutdowns;
    SetTLSActive(false);
    return true;
  }
  int SendData(const void* buffer, int length) override {
    ClearPlugError();
    pieces.push_back(length);
    if (send_nothing) return 0;
    std::string out(static_cast<const char*>(buffer), length);
    for (char& c : out) c ^= kKey;
    int done = 0;
    while (done < length) {
      if (!WaitHandleWritable(2000)) return Fail("send timed out");
      int n = RawSend(out.data() + done, length - done);
      if (n < 0) return Fail("send failed");
      done += n;
    }
    return done;
  }
  int ReceiveData(void* buffer, int length) override {
    ClearPlugError();
    if (break_receive) return Fail("xor plug broke");
    if (decrypted.empty()) {
      if (!WaitHandleReadable(2000)) return Fail("receive timed out");
      char raw[64];
      int got = RawReceive(raw, sizeof(raw));
      if (got < 0) return Fail("receive failed");
      if (got == 0) return 0;
      for (int i = 0; i < got; ++i) decrypted.push_back(static_cast<char>(raw[i] ^ kKey));
    }
    int give = std::min({length, 2, static_cast<int>(decrypted.size())});
    std::memcpy(buffer, decrypted.data(), give);
    decrypted.erase(0, give);
    return give;
  }
  int PendingData() override { return static_cast<int>(decrypted.size()); }

  static std::string Scramble(std::string text) {
    for (char& c : text) c ^= kKey;
    return text;
  }

  int shutdowns = 0;
  bool send_nothing = false;
  bool break_receive = false;
  std::vector<int> pieces;
  std::string decrypted;

 private:
  int Fail(const Text& why) {
    SetPlugError(2, why);
    return -1;
  }
};

class PlugDataPath : public SocketLayerTest {
 protected:
  void Connect(PeerScript script) {
    peer_ = std::make_unique<ScriptedPeer>(std::move(script));
    ASSERT_EQ(peer_->SetupError(), "");
    sock_ = TTCPBlockSocket::CreateWithPlug(&SSLPlugClass<XorPlug>);
    sock_->SetConvertLineEnd(true);
    sock_->ConnectTo(peer_->Host(), peer_->PortText());
    ASSERT_EQ(sock_->SocketError(), 0) << sock_->SocketErrorText();
    sock_->OpenTlsSession();
    ASSERT_EQ(sock_->SocketError(), 0) << sock_->SocketErrorText();
    ASSERT_TRUE(plug().TLSActive());
  }
  XorPlug& plug() { return static_cast<XorPlug&>(sock_->SSLPlug()); }

  std::unique_ptr<ScriptedPeer> peer_;
  std::unique_ptr<TTCPBlockSocket> sock_;
};

TEST_F(PlugDataPath, WritesGoThroughThePlugInChunks) {
  Connect({});
  std::vector<std::string> written;
  sock_->SetOnStatus([&](TBlockSocket&, THookSocketReason reason, const Text& value) {
    if (reason == SR_Written) written.push_back(value);
  });
  sock_->SetSendMaxChunk(4);
  EXPECT_EQ(sock_->WriteText("0123456789"), 10);
  EXPECT_EQ(sock_->SocketError(), 0) << sock_->SocketErrorText();
  EXPECT_EQ(plug().pieces, (std::vector<int>{4, 4, 2}));
  EXPECT_EQ(written, (std::vector<std::string>{"4", "4", "2"}));
  EXPECT_EQ(sock_->BytesWritten(), 10);
  ASSERT_TRUE(peer_->WaitReceived(10, 5000));
  EXPECT_EQ(peer_->Received(), XorPlug::Scramble("0123456789"));
  sock_->SetOnStatus(nullptr);  // `written` goes before the socket does
}

TEST_F(PlugDataPath, ReadsUseWhatThePlugHoldsPending) {
  // Each receive hands out two bytes; the rest of the line is only known to the plug, so the
  // line can only be completed when the socket asks the plug how much is pending.
  Connect({PeerStep::Send(XorPlug::Scramble("hello world\r\nnext\r\n"))});
  EXPECT_EQ(sock_->ReadLine(1000), "hello world") << sock_->SocketErrorText();
  EXPECT_EQ(sock_->ReadLine(1000), "next") << sock_->SocketErrorText();
  // The LF of the last line end is still held by the plug, not by the platform.
  EXPECT_EQ(sock_->PendingBytes(), 1);
  EXPECT_EQ(sock_->BytesRead(), 18);
}

TEST_F(PlugDataPath, APlugThatSendsNothingFailsInsteadOfLooping) {
  Connect({});
  plug().send_nothing = true;
  EXPECT_EQ(sock_->WriteText("abc"), 0);
  EXPECT_EQ(sock_->SocketError(), WSASYSNOTREADY);
  EXPECT_EQ(plug().pieces.size(), 1u);
}

TEST_F(PlugDataPath, APlugFailureIsReportedWithThePlugsText) {
  Connect({PeerStep::Send(XorPlug::Scramble("x"))});
  plug().break_receive = true;
  EXPECT_EQ(sock_->ReadAvailable(1000), "");
  EXPECT_EQ(sock_->SocketError(), WSASYSNOTREADY);
  EXPECT_EQ(sock_->SocketErrorText(), "xor plug broke");
}

TEST_F(PlugDataPath, ThePeersCloseShowsAsAClosedConnection) {
  Connect({PeerStep::Send(XorPlug::Scramble("ab")), PeerStep::Close()});
  EXPECT_EQ(sock_->ReadExactText(2, 1000), "ab") << sock_->SocketErrorText();
  EXPECT_EQ(sock_->ReadAvailable(1000), "");
  EXPECT_EQ(sock_->SocketError(), WSAECONNRESET) << sock_->SocketErrorText();
}

TEST_F(PlugDataPath, CloseEndsTlsFirst) {
  Connect({});
  sock_->Close();
  EXPECT_EQ(plug().shutdowns, 1);
  EXPECT_FALSE(plug().TLSActive());
  EXPECT_EQ(sock_->Handle(), INVALID_SOCKET);
  sock_->Close();
  EXPECT_EQ(plug().shutdowns, 1) << "no TLS left to end";
}

}  // namespace
}  // namespace tessaly
