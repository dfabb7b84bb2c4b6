// The socket's data path through the OpenSSL plug against nginx: reads that find their bytes
// already decrypted, bodies sent and mirrored back in pieces of every size, the session's facts,
// and the close.
#include <fstream>
#include <sstream>
#include <string>

#include "base/bytebuffer.h"
#include "net/socketerror.h"
#include "support/tlsservers.h"
#include "support/tlstesting.h"

namespace tessaly {
namespace {

constexpr int kLimitMs = 10000;

// A connected socket with TLS running to the nginx server that holds the good certificate.
class NginxSession {
 public:
  NginxSession() : web_(TlsNginx::Start(pki_)), sock_(NewTlsSocket()) {}

  // Call from the test body: ASSERT_NO_FATAL_FAILURE(session.Open()).
  void Open() {
    ASSERT_TRUE(pki_.Ok()) << pki_.Error();
    ASSERT_TRUE(web_->Ok()) << web_->Error();
    sock_->ConnectTo("localhost", std::to_string(web_->Port(TestCert::Good)));
    ASSERT_EQ(sock_->SocketError(), 0) << sock_->SocketErrorText();
    sock_->SSLPlug().SetVerifyCert(true);
    sock_->SSLPlug().SetCertCAFile(pki_.CaFile());
    sock_->SSLPlug().SetTimeout(kLimitMs);
    sock_->OpenTlsSession();
    ASSERT_EQ(sock_->SocketError(), 0) << sock_->SocketErrorText();
  }

  const TestPki& Pki() const { return pki_; }
  TlsNginx& Web() { return *web_; }
  TTCPBlockSocket& Sock() { return *sock_; }

  // Reads the status line and header lines; the value of Content-Length, -1 when none.
  long long ReadHead() {
    long long length = -1;
    for (;;) {
      const Text line = sock_->ReadLine(kLimitMs);
      if (sock_->SocketError() != 0 || line.empty()) return length;
      if (line.rfind("Content-Length: ", 0) == 0) length = std::stoll(line.substr(16));
    }
  }

 private:
  TestPki pki_;
  std::unique_ptr<TlsNginx> web_;
  std::unique_ptr<TTCPBlockSocket> sock_;
};

class TlsDecryptedAhead : public TlsSocketTestP<int> {};

// nginx keeps the connection open after the answer, so a read that waited on the handle for
// bytes the library already holds would sit there until its limit.
TEST_P(TlsDecryptedAhead, LineReadsNeverWaitForBytesAlreadyDecrypted) {
  const int first_read = GetParam();
  NginxSession session;
  ASSERT_NO_FATAL_FAILURE(session.Open());
  std::string lines;
  for (int i = 0; i < 300; ++i) lines += "line " + std::to_string(i) + "\r\n";
  session.Web().WriteFile("lines.txt", lines);
  TTCPBlockSocket& sock = session.Sock();
  sock.WriteText("GET /lines.txt HTTP/1.1\r\nHost: localhost\r\n\r\n");
  ASSERT_EQ(sock.SocketError(), 0) << sock.SocketErrorText();

  std::string head(static_cast<size_t>(first_read), '\0');
  ASSERT_EQ(sock.ReadSome(head.data(), first_read), first_read) << sock.SocketErrorText();
  EXPECT_EQ(head, std::string("HTTP/1.1 200 OK").substr(0, static_cast<size_t>(first_read)));
  EXPECT_GT(sock.PendingBytes(), 0) << "the rest of the record is held decrypted";

  // Every line is there already; a read that waits at all waits for its whole limit.
  constexpr int kLineLimitMs = 2000;
  Stopwatch watch;
  EXPECT_EQ(sock.ReadLine(kLineLimitMs), std::string("HTTP/1.1 200 OK").substr(first_read));
  ASSERT_EQ(sock.SocketError(), 0) << sock.SocketErrorText();
  EXPECT_EQ(session.ReadHead(), static_cast<long long>(lines.size()));
  std::string body;
  for (int i = 0; i < 300 && sock.SocketError() == 0; ++i) {
    body += sock.ReadLine(kLineLimitMs) + "\r\n";
  }
  EXPECT_EQ(sock.SocketError(), 0) << sock.SocketErrorText();
  EXPECT_TRUE(body == lines) << body.size() << " bytes of lines instead of " << lines.size();
  EXPECT_LT(watch.Ms(), kLineLimitMs);

  // Everything has been handed out: nothing is pending and a short read times out.
  EXPECT_EQ(sock.PendingBytes(), 0);
  EXPECT_EQ(sock.ReadAvailable(100), "");
  EXPECT_EQ(sock.SocketError(), ErrTimedOut);
}

INSTANTIATE_TEST_SUITE_P(FirstReadSize, TlsDecryptedAhead, ::testing::Values(1, 5, 15));

class TlsMirror : public TlsSocketTestP<int> {};

TEST_P(TlsMirror, SendsTheWholeBodyAndReadsItBackUntilTheClose) {
  const int size = GetParam();
  NginxSession session;
  ASSERT_NO_FATAL_FAILURE(session.Open());
  TTCPBlockSocket& sock = session.Sock();
  const std::string body = PatternBytes(static_cast<size_t>(size), 7);
  sock.WriteText("POST /mirror HTTP/1.0\r\nHost: localhost\r\nContent-Length: " +
                 std::to_string(size) + "\r\n\r\n");
  const int64_t head_bytes = sock.BytesWritten();
  EXPECT_EQ(sock.WriteBuffer(body.data(), size), size) << sock.SocketErrorText();
  EXPECT_EQ(sock.BytesWritten() - head_bytes, size) << "counts what the caller sent";

  EXPECT_EQ(session.ReadHead(), -1) << "a mirrored body runs until the close";
  TByteBuffer answer;
  sock.ReadAllToStream(answer, kLimitMs);
  EXPECT_EQ(sock.SocketError(), ErrPeerClosed) << sock.SocketErrorText();
  EXPECT_TRUE(std::string(answer.Memory(), static_cast<size_t>(answer.Size())) == body)
      << "got " << answer.Size() << " bytes of " << size;
}

// Around one record (16384), the socket's send piece (65536) and many of both.
INSTANTIATE_TEST_SUITE_P(BodySize, TlsMirror,
                         ::testing::Values(1, 16383, 16384, 16385, 65536, 65537,
                                           3 * 1024 * 1024 + 3));

// How the server ends a body that runs until the close.
enum class PeerEnd { ClosingAlert, BareTcpClose };

class TlsPeerEnd : public TlsSocketTestP<PeerEnd> {};

TEST_P(TlsPeerEnd, EndsTheBodyAndTellsWhetherTheAlertCame) {
  TestPki pki;
  ASSERT_TRUE(pki.Ok()) << pki.Error();
  const std::string body = PatternBytes(200000, 9);
  int port = 0;
  std::unique_ptr<TlsSServer> s_server;
  std::unique_ptr<TlsBareCloseServer> bare;
  if (GetParam() == PeerEnd::ClosingAlert) {
    s_server = TlsSServer::Start(pki, TestCert::Good);
    ASSERT_TRUE(s_server->Ok()) << s_server->Error();
    s_server->WriteFile("body", body);
    port = s_server->Port();
  } else {
    bare = TlsBareCloseServer::Start(pki, TestCert::Good, body);
    ASSERT_TRUE(bare->Ok()) << bare->Error();
    port = bare->Port();
  }
  auto sock = NewTlsSocket();
  sock->ConnectTo("127.0.0.1", std::to_string(port));
  sock->SSLPlug().SetTimeout(kLimitMs);
  sock->OpenTlsSession();
  ASSERT_EQ(sock->SocketError(), 0) << sock->SocketErrorText();
  sock->WriteText("GET /body HTTP/1.0\r\n\r\n");

  TByteBuffer answer;
  sock->ReadAllToStream(answer, kLimitMs);
  EXPECT_EQ(sock->SocketError(), ErrPeerClosed) << sock->SocketErrorText();
  const std::string got(answer.Memory(), static_cast<size_t>(answer.Size()));
  const size_t head_end = got.find("\r\n\r\n");
  ASSERT_NE(head_end, std::string::npos);
  EXPECT_TRUE(got.substr(head_end + 4) == body) << got.size() - head_end - 4 << " bytes of body";
  EXPECT_EQ(sock->SSLPlug().PeerClosedTLS(), GetParam() == PeerEnd::ClosingAlert);
  EXPECT_EQ(sock->PeerEnd(),
            GetParam() == PeerEnd::ClosingAlert ? TPeerEnd::TlsClosed : TPeerEnd::TlsBareEnd);
  // Once ended, the plug keeps saying so without waiting on the handle.
  EXPECT_EQ(sock->ReadAvailable(kLimitMs), "");
  EXPECT_EQ(sock->SocketError(), ErrPeerClosed);
}

INSTANTIATE_TEST_SUITE_P(Table, TlsPeerEnd,
                         ::testing::Values(PeerEnd::ClosingAlert, PeerEnd::BareTcpClose),
                         [](const auto& info) {
                           return info.param == PeerEnd::ClosingAlert ? "ClosingAlert"
                                                                      : "BareTcpClose";
                         });

class TlsSessionFacts : public TlsSocketTest {};

TEST_F(TlsSessionFacts, DescribeThePeerAsTheToolSeesIt) {
  NginxSession session;
  ASSERT_NO_FATAL_FAILURE(session.Open());
  TCustomSSL& plug = session.Sock().SSLPlug();

  ScratchDir dir;
  const std::string log = dir.File("x509.txt");
  std::string why;
  ASSERT_EQ(RunToEnd({"openssl", "x509", "-noout", "-serial", "-fingerprint", "-sha256", "-in",
                      session.Pki().CertFile(TestCert::Good)},
                     log, &why),
            0)
      << why;
  std::ifstream in(log);
  std::string serial_line;
  std::string fingerprint_line;
  std::getline(in, serial_line);
  std::getline(in, fingerprint_line);
  std::string fingerprint = fingerprint_line.substr(fingerprint_line.find('=') + 1);
  std::erase(fingerprint, ':');

  EXPECT_EQ("serial=" + plug.PeerSerial(), serial_line);
  EXPECT_EQ(plug.PeerFingerprint(), fingerprint);
  EXPECT_EQ(plug.PeerSubject(), "/CN=localhost");
  EXPECT_EQ(plug.PeerIssuer(), "/CN=Tessaly Test CA");
  EXPECT_EQ(plug.PeerName(), "localhost");
  EXPECT_EQ(plug.VerifyResult(), 0);
  EXPECT_EQ(plug.ProtocolVersionName().rfind("TLSv1.", 0), 0u) << plug.ProtocolVersionName();
  EXPECT_FALSE(plug.CipherName().empty());
  EXPECT_GE(plug.CipherBits(), 128);
  EXPECT_EQ(plug.CipherAlgorithmBits(), plug.CipherBits());
}

TEST_F(TlsSessionFacts, CloseEndsTheSessionAndANewConnectionStartsAFreshOne) {
  NginxSession session;
  ASSERT_NO_FATAL_FAILURE(session.Open());
  TTCPBlockSocket& sock = session.Sock();
  const Text first = sock.SSLPlug().PeerFingerprint();
  sock.Close();
  EXPECT_FALSE(sock.SSLPlug().TLSActive());
  EXPECT_EQ(sock.SocketError(), 0) << sock.SocketErrorText();
  EXPECT_EQ(sock.Handle(), INVALID_SOCKET);

  // The same socket and plug, another server and certificate.
  sock.ConnectTo("127.0.0.1", std::to_string(session.Web().Port(TestCert::NameOnly)));
  sock.SSLPlug().SetVerifyCert(false);
  sock.OpenTlsSession();
  ASSERT_EQ(sock.SocketError(), 0) << sock.SocketErrorText();
  EXPECT_NE(sock.SSLPlug().PeerFingerprint(), first);
  sock.WriteText("HEAD / HTTP/1.0\r\n\r\n");
  EXPECT_EQ(sock.ReadLine(kLimitMs).rfind("HTTP/1.1 ", 0), 0u) << sock.SocketErrorText();
}

}  // namespace
}  // namespace tessaly
