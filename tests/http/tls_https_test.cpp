// "https" addresses fetched by THTTPClient once the program has made the verifying OpenSSL plug
// the default, as it does at start-up: bodies of every transfer mode from real servers, the
// certificate checks, and servers that never finish the handshake.
#include <chrono>
#include <ostream>
#include <string>

#include "http/httpclient.h"
#include "http_test_support.h"
#include "net/socketerror.h"
#include "support/scriptedpeer.h"
#include "support/tlsservers.h"
#include "support/tlstesting.h"

namespace tessaly {
namespace {

using httptest::DocumentText;
using httptest::NewClient;

constexpr int kLimitMs = 10000;

class HttpsTest {
 protected:
  HttpsTest() { UseOpenSSLByDefault(); }
  ~HttpsTest() { SetDefaultSSLPlugClass(nullptr); }
};

std::string Repeat(const std::string& line, int times) {
  std::string text;
  for (int i = 0; i < times; ++i) text += line;
  return text;
}

enum class Server { Nginx, SServer };

struct Body {
  std::string name;
  Server server;
  std::string host;
  std::string path;
  std::string protocol;
  std::string file;  // put on the server under the path's name, except for "/chunks/..."
  std::string expected;
  THTTPTransferMode mode;
};

// Names the case in test listings.
void PrintTo(const Body& c, std::ostream* out) {
  *out << c.name;
}

class HttpsBody : public HttpsTest, public ::testing::TestWithParam<Body> {};

TEST_P(HttpsBody, ArrivesWhole) {
  const Body& b = GetParam();
  TestPki pki;
  ASSERT_TRUE(pki.Ok()) << pki.Error();
  std::unique_ptr<TlsNginx> nginx;
  std::unique_ptr<TlsSServer> s_server;
  std::string url;
  if (b.server == Server::Nginx) {
    nginx = TlsNginx::Start(pki);
    ASSERT_TRUE(nginx->Ok()) << nginx->Error();
    if (b.host == "[::1]") {
      ASSERT_TRUE(nginx->HasIPv6()) << "no IPv6 loopback on this machine";
    }
    if (b.path.rfind("/chunks/", 0) != 0) nginx->WriteFile(b.path.substr(1), b.file);
    url = nginx->Url(TestCert::Good, b.path, b.host);
  } else {
    s_server = TlsSServer::Start(pki, TestCert::Good);
    ASSERT_TRUE(s_server->Ok()) << s_server->Error();
    s_server->WriteFile(b.path.substr(1), b.file);
    url = s_server->Url(b.path);
  }
  auto client = NewClient(kLimitMs);
  client->Sock().SSLPlug().SetCertCAFile(pki.CaFile());
  client->SetProtocol(b.protocol);

  EXPECT_TRUE(client->ExecuteRequest("GET", url)) << client->Sock().SocketErrorText();
  EXPECT_EQ(client->ResultCode(), 200);
  EXPECT_EQ(client->TransferMode(), b.mode);
  const std::string got = DocumentText(*client);
  EXPECT_TRUE(got == b.expected) << got.size() << " bytes instead of " << b.expected.size();
  EXPECT_TRUE(client->Sock().SSLPlug().VerifyCert()) << "the start-up plug verifies";
}

const std::string kChunks = Repeat("chunk line\r\n", 700) + Repeat("second half\r\n", 700);

INSTANTIATE_TEST_SUITE_P(
    Table, HttpsBody,
    ::testing::Values(
        Body{"EmptyByLength", Server::Nginx, "127.0.0.1", "/empty", "1.0", "", "",
             THTTPTransferMode::ByLength},
        Body{"OneByteByLength", Server::Nginx, "127.0.0.1", "/one", "1.0", "x", "x",
             THTTPTransferMode::ByLength},
        Body{"RecordPlusOneByLength", Server::Nginx, "localhost", "/b", "1.0",
             PatternBytes(16385, 2), PatternBytes(16385, 2), THTTPTransferMode::ByLength},
        Body{"MegabytesByLength", Server::Nginx, "127.0.0.1", "/big", "1.0",
             PatternBytes(5 * 1024 * 1024 + 7, 3), PatternBytes(5 * 1024 * 1024 + 7, 3),
             THTTPTransferMode::ByLength},
        Body{"ByLengthOverIPv6", Server::Nginx, "[::1]", "/b6", "1.0", PatternBytes(70000, 4),
             PatternBytes(70000, 4), THTTPTransferMode::ByLength},
        Body{"Chunked", Server::Nginx, "localhost", "/chunks/700", "1.1", "", kChunks,
             THTTPTransferMode::Chunked},
        Body{"UntilCloseFromNginx", Server::Nginx, "127.0.0.1", "/chunks/700", "1.0", "", kChunks,
             THTTPTransferMode::UntilClose},
        Body{"UntilCloseFromSServer", Server::SServer, "127.0.0.1", "/file.bin", "1.0",
             PatternBytes(300000, 5), PatternBytes(300000, 5), THTTPTransferMode::UntilClose}),
    [](const auto& info) { return info.param.name; });

// A body that runs until the close is complete only with the server's closing alert: a bare
// TCP end (a cut connection, or a truncation attack) fails at once, and the next transaction,
// from a server that ends properly, succeeds.
class HttpsTruncation : public HttpsTest, public ::testing::Test {};

TEST_F(HttpsTruncation, BareTcpEndFailsPromptlyAndTheNextFetchSucceeds) {
  TestPki pki;
  ASSERT_TRUE(pki.Ok()) << pki.Error();
  const std::string body = PatternBytes(300000, 6);
  auto bare = TlsBareCloseServer::Start(pki, TestCert::Good, body);
  ASSERT_TRUE(bare->Ok()) << bare->Error();
  auto proper = TlsSServer::Start(pki, TestCert::Good);
  ASSERT_TRUE(proper->Ok()) << proper->Error();
  proper->WriteFile("cam.jpg", body);
  auto client = NewClient(kLimitMs);
  client->Sock().SSLPlug().SetCertCAFile(pki.CaFile());

  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(client->ExecuteRequest("GET", bare->Url("/cam.jpg")));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kLimitMs / 2));
  EXPECT_EQ(client->Sock().PeerEnd(), TPeerEnd::TlsBareEnd);

  client->ResetMessage();
  EXPECT_TRUE(client->ExecuteRequest("GET", proper->Url("/cam.jpg")))
      << client->Sock().SocketErrorText();
  EXPECT_EQ(client->Sock().PeerEnd(), TPeerEnd::TlsClosed);
  EXPECT_TRUE(DocumentText(*client) == body) << client->Document().Size() << " bytes";
}

struct Refusal {
  std::string name;
  TestCert cert;
  std::string host;
  std::string reason;
};

// Names the case in test listings.
void PrintTo(const Refusal& c, std::ostream* out) {
  *out << c.name;
}

class HttpsCertificate : public HttpsTest,
                         public ::testing::TestWithParam<std::tuple<Refusal, bool>> {};

TEST_P(HttpsCertificate, FailsTheFetchOnlyWhileVerifying) {
  const auto& [r, verify] = GetParam();
  TestPki pki;
  ASSERT_TRUE(pki.Ok()) << pki.Error();
  auto nginx = TlsNginx::Start(pki);
  ASSERT_TRUE(nginx->Ok()) << nginx->Error();
  nginx->WriteFile("image.jpg", "JFIF");
  auto client = NewClient(kLimitMs);
  client->Sock().SSLPlug().SetCertCAFile(pki.CaFile());
  client->Sock().SSLPlug().SetVerifyCert(verify);

  const bool fetched = client->ExecuteRequest("GET", nginx->Url(r.cert, "/image.jpg", r.host));

  if (verify) {
    EXPECT_FALSE(fetched);
    EXPECT_EQ(client->ResultCode(), 500);
    EXPECT_EQ(client->Sock().SocketError(), ErrNegotiationFailed);
    EXPECT_NE(client->Sock().SocketErrorText().find(r.reason), std::string::npos)
        << client->Sock().SocketErrorText();
    EXPECT_EQ(DocumentText(*client), "");
  } else {
    EXPECT_TRUE(fetched) << client->Sock().SocketErrorText();
    EXPECT_EQ(client->ResultCode(), 200);
    EXPECT_EQ(DocumentText(*client), "JFIF");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, HttpsCertificate,
    ::testing::Combine(
        ::testing::Values(Refusal{"SelfSigned", TestCert::SelfSigned, "localhost", "self-signed"},
                          Refusal{"OtherHost", TestCert::OtherHost, "localhost", "hostname"},
                          Refusal{"Expired", TestCert::Expired, "127.0.0.1", "expired"}),
        ::testing::Bool()),
    [](const auto& info) {
      return std::get<0>(info.param).name +
             (std::get<1>(info.param) ? "_Verifying" : "_NotVerifying");
    });

class HttpsTrust : public HttpsTest, public ::testing::Test {};

TEST_F(HttpsTrust, SystemStoreNamedByTheEnvironmentIsUsed) {
  TestPki pki;
  ASSERT_TRUE(pki.Ok()) << pki.Error();
  auto nginx = TlsNginx::Start(pki);
  ASSERT_TRUE(nginx->Ok()) << nginx->Error();
  nginx->WriteFile("a.txt", "trusted");
  ScopedEnv cert_file("SSL_CERT_FILE", pki.CaFile());
  auto client = NewClient(kLimitMs);
  EXPECT_TRUE(client->ExecuteRequest("GET", nginx->Url(TestCert::Good, "/a.txt", "localhost")))
      << client->Sock().SocketErrorText();
  EXPECT_EQ(DocumentText(*client), "trusted");
}

TEST_F(HttpsTrust, UnknownIssuerFailsLikeAnyConnectionFailure) {
  TestPki pki;
  ASSERT_TRUE(pki.Ok()) << pki.Error();
  auto nginx = TlsNginx::Start(pki);
  ASSERT_TRUE(nginx->Ok()) << nginx->Error();
  ScratchDir empty;
  ScopedEnv cert_file("SSL_CERT_FILE", empty.File("none.pem"));
  ScopedEnv cert_dir("SSL_CERT_DIR", empty.Path());
  auto client = NewClient(kLimitMs);
  EXPECT_FALSE(client->ExecuteRequest("GET", nginx->Url(TestCert::Good, "/", "localhost")));
  EXPECT_EQ(client->ResultCode(), 500);
  EXPECT_NE(client->Sock().SocketErrorText().find("unable to get local issuer certificate"),
            std::string::npos)
      << client->Sock().SocketErrorText();
}

// Peers on the "https" port that never complete a handshake.
enum class Peer { Stalls, ClosesMidHandshake, ScriptedPlainHttp, NginxPlainHttp };

class HttpsBrokenPeer : public HttpsTest, public ::testing::TestWithParam<Peer> {};

TEST_P(HttpsBrokenPeer, FailsWithinTheClientsTimeout) {
  constexpr int kTimeoutMs = 800;
  constexpr int kSlackMs = 1500;
  PeerScript script;
  if (GetParam() == Peer::ClosesMidHandshake) {
    script = {PeerStep::AwaitBytes(1), PeerStep::Close()};
  } else if (GetParam() == Peer::ScriptedPlainHttp) {
    script = {PeerStep::AwaitBytes(1),
              PeerStep::Send("HTTP/1.0 400 Bad Request\r\nContent-Type: text/html\r\n\r\n<html>"),
              PeerStep::Close()};
  }
  ScriptedPeer peer(script);
  ASSERT_EQ(peer.SetupError(), "");
  std::string url = "https://127.0.0.1:" + peer.PortText() + "/cam.jpg";
  std::unique_ptr<TestPki> pki;
  std::unique_ptr<TlsNginx> nginx;
  if (GetParam() == Peer::NginxPlainHttp) {
    pki = std::make_unique<TestPki>();
    nginx = TlsNginx::Start(*pki);
    ASSERT_TRUE(nginx->Ok()) << nginx->Error();
    url = "https://127.0.0.1:" + std::to_string(nginx->PlainPort()) + "/cam.jpg";
  }
  auto client = NewClient(kTimeoutMs);

  Stopwatch watch;
  EXPECT_FALSE(client->ExecuteRequest("GET", url));
  const long long took = watch.Ms();

  EXPECT_EQ(client->ResultCode(), 500);
  EXPECT_EQ(client->Sock().SocketError(), ErrNegotiationFailed);
  EXPECT_EQ(DocumentText(*client), "");
  EXPECT_LT(took, kTimeoutMs + kSlackMs);
  if (GetParam() == Peer::Stalls) {
    EXPECT_GE(took, kTimeoutMs - 20);
    EXPECT_NE(client->Sock().SocketErrorText().find("timed out"), std::string::npos)
        << client->Sock().SocketErrorText();
  } else {
    EXPECT_LT(took, kTimeoutMs) << client->Sock().SocketErrorText();
  }
}

INSTANTIATE_TEST_SUITE_P(Table, HttpsBrokenPeer,
                         ::testing::Values(Peer::Stalls, Peer::ClosesMidHandshake,
                                           Peer::ScriptedPlainHttp, Peer::NginxPlainHttp),
                         [](const auto& info) {
                           switch (info.param) {
                             case Peer::Stalls:
                               return "Stalls";
                             case Peer::ClosesMidHandshake:
                               return "ClosesMidHandshake";
                             case Peer::ScriptedPlainHttp:
                               return "ScriptedPlainHttp";
                             case Peer::NginxPlainHttp:
                               return "NginxPlainHttp";
                           }
                           return "Unknown";
                         });

}  // namespace
}  // namespace tessaly
