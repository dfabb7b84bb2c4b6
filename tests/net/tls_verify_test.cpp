// Certificate checks of the OpenSSL plug against a real server (nginx) holding certificates made
// by the tests: a chain, a name or an address the certificate does not cover, or an expired
// certificate must stop the handshake when VerifyCert is set and only be reported when it is
// not; trust comes from the default verify paths and from CertCAFile and CertCA.
#include <openssl/x509_vfy.h>

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>

#include "net/socketerror.h"
#include "support/tlsservers.h"
#include "support/tlstesting.h"

namespace tessaly {
namespace {

constexpr int kLimitMs = 10000;

struct CheckCase {
  std::string name;
  TestCert cert;
  std::string host;  // what the socket connects to
  long verify_code;  // X509_V_OK when the certificate is good for that host
  std::string reason;
};

// Names the case in test listings.
void PrintTo(const CheckCase& c, std::ostream* out) {
  *out << c.name;
}

class TlsCertificateCheck : public TlsSocketTestP<std::tuple<CheckCase, bool /*VerifyCert*/>> {};

TEST_P(TlsCertificateCheck, StopsTheHandshakeOnlyWhenVerifying) {
  const auto& [c, verify] = GetParam();
  TestPki pki;
  ASSERT_TRUE(pki.Ok()) << pki.Error();
  auto web = TlsNginx::Start(pki);
  ASSERT_TRUE(web->Ok()) << web->Error();
  if (c.host == "::1") {
    ASSERT_TRUE(web->HasIPv6()) << "no IPv6 loopback on this machine";
  }

  auto sock = NewTlsSocket();
  sock->ConnectTo(c.host, std::to_string(web->Port(c.cert)));
  ASSERT_EQ(sock->SocketError(), 0) << sock->SocketErrorText();
  TCustomSSL& plug = sock->SSLPlug();
  plug.SetVerifyCert(verify);
  plug.SetCertCAFile(pki.CaFile());
  plug.SetTimeout(kLimitMs);
  sock->OpenTlsSession();

  const bool should_pass = !verify || c.verify_code == X509_V_OK;
  EXPECT_EQ(plug.VerifyResult(), c.verify_code);
  if (should_pass) {
    EXPECT_EQ(sock->SocketError(), 0) << sock->SocketErrorText();
    EXPECT_TRUE(plug.TLSActive());
    // Data flows: a request, and the status line of nginx's answer.
    sock->WriteText("HEAD / HTTP/1.0\r\n\r\n");
    EXPECT_EQ(sock->ReadLine(kLimitMs).rfind("HTTP/1.1 ", 0), 0u) << sock->SocketErrorText();
  } else {
    EXPECT_EQ(sock->SocketError(), ErrNegotiationFailed);
    EXPECT_FALSE(plug.TLSActive());
    EXPECT_NE(sock->SocketErrorText().find("certificate verify failed"), std::string::npos)
        << sock->SocketErrorText();
    EXPECT_NE(sock->SocketErrorText().find(c.reason), std::string::npos) << sock->SocketErrorText();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, TlsCertificateCheck,
    ::testing::Combine(
        ::testing::Values(CheckCase{"GoodByAddress", TestCert::Good, "127.0.0.1", X509_V_OK, ""},
                          CheckCase{"GoodByName", TestCert::Good, "localhost", X509_V_OK, ""},
                          CheckCase{"GoodByIPv6Address", TestCert::Good, "::1", X509_V_OK, ""},
                          CheckCase{"NameOnlyByName", TestCert::NameOnly, "localhost", X509_V_OK,
                                    ""},
                          CheckCase{"SelfSigned", TestCert::SelfSigned, "127.0.0.1",
                                    X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT, "self-signed"},
                          CheckCase{"OtherHostName", TestCert::OtherHost, "localhost",
                                    X509_V_ERR_HOSTNAME_MISMATCH, "hostname mismatch"},
                          CheckCase{"AddressNotInCertificate", TestCert::NameOnly, "127.0.0.1",
                                    X509_V_ERR_IP_ADDRESS_MISMATCH, "IP address mismatch"},
                          CheckCase{"Expired", TestCert::Expired, "127.0.0.1",
                                    X509_V_ERR_CERT_HAS_EXPIRED, "certificate has expired"}),
        ::testing::Bool()),
    [](const auto& info) {
      return std::get<0>(info.param).name +
             (std::get<1>(info.param) ? "_Verifying" : "_NotVerifying");
    });

// Where the test CA is made known to the plug.
enum class TrustFrom { Nothing, CertCAFile, CertCA, CertFileVariable, CertDirVariable };

class TlsTrustSource : public TlsSocketTestP<TrustFrom> {};

TEST_P(TlsTrustSource, AnchorsTheChain) {
  TestPki pki;
  ASSERT_TRUE(pki.Ok()) << pki.Error();
  auto web = TlsNginx::Start(pki);
  ASSERT_TRUE(web->Ok()) << web->Error();
  ScratchDir empty;
  // The default verify paths, as the library takes them from the environment at each start.
  std::optional<std::string> cert_file = empty.File("none.pem");
  std::optional<std::string> cert_dir = empty.Path();
  if (GetParam() == TrustFrom::CertFileVariable) cert_file = pki.CaFile();
  if (GetParam() == TrustFrom::CertDirVariable) cert_dir = pki.CaDir();
  ScopedEnv file_variable("SSL_CERT_FILE", cert_file);
  ScopedEnv dir_variable("SSL_CERT_DIR", cert_dir);

  auto sock = NewTlsSocket();
  sock->ConnectTo("localhost", std::to_string(web->Port(TestCert::Good)));
  ASSERT_EQ(sock->SocketError(), 0) << sock->SocketErrorText();
  TCustomSSL& plug = sock->SSLPlug();
  plug.SetVerifyCert(true);
  plug.SetTimeout(kLimitMs);
  if (GetParam() == TrustFrom::CertCAFile) plug.SetCertCAFile(pki.CaFile());
  if (GetParam() == TrustFrom::CertCA) plug.SetCertCA(pki.CaText());
  sock->OpenTlsSession();

  if (GetParam() == TrustFrom::Nothing) {
    EXPECT_EQ(sock->SocketError(), ErrNegotiationFailed);
    EXPECT_EQ(plug.VerifyResult(), X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY);
  } else {
    EXPECT_EQ(sock->SocketError(), 0) << sock->SocketErrorText();
    EXPECT_EQ(plug.VerifyResult(), X509_V_OK);
  }
}

INSTANTIATE_TEST_SUITE_P(Table, TlsTrustSource,
                         ::testing::Values(TrustFrom::Nothing, TrustFrom::CertCAFile,
                                           TrustFrom::CertCA, TrustFrom::CertFileVariable,
                                           TrustFrom::CertDirVariable),
                         [](const auto& info) {
                           switch (info.param) {
                             case TrustFrom::Nothing:
                               return "Nothing";
                             case TrustFrom::CertCAFile:
                               return "CertCAFile";
                             case TrustFrom::CertCA:
                               return "CertCA";
                             case TrustFrom::CertFileVariable:
                               return "CertFileVariable";
                             case TrustFrom::CertDirVariable:
                               return "CertDirVariable";
                           }
                           return "Unknown";
                         });

struct BadTrust {
  std::string name;
  bool as_text;
  std::string value;
};

// Names the case in test listings.
void PrintTo(const BadTrust& c, std::ostream* out) {
  *out << c.name;
}

class TlsBadTrustSetting : public TlsSocketTestP<BadTrust> {};

TEST_P(TlsBadTrustSetting, FailsBeforeTheHandshake) {
  const BadTrust& bad = GetParam();
  TestPki pki;
  ASSERT_TRUE(pki.Ok()) << pki.Error();
  auto web = TlsNginx::Start(pki);
  ASSERT_TRUE(web->Ok()) << web->Error();
  auto sock = NewTlsSocket();
  sock->ConnectTo("127.0.0.1", std::to_string(web->Port(TestCert::Good)));
  TCustomSSL& plug = sock->SSLPlug();
  if (bad.as_text) {
    plug.SetCertCA(bad.value);
  } else {
    plug.SetCertCAFile(bad.value);
  }
  sock->OpenTlsSession();
  EXPECT_EQ(sock->SocketError(), ErrNegotiationFailed);
  EXPECT_NE(plug.PlugErrorText().find(bad.as_text ? "CertCA" : "CertCAFile"), std::string::npos)
      << plug.PlugErrorText();
}

INSTANTIATE_TEST_SUITE_P(
    Table, TlsBadTrustSetting,
    ::testing::Values(BadTrust{"MissingFile", false, "/nonexistent/ca.pem"},
                      BadTrust{"TextWithoutCertificate", true, "not a certificate"},
                      BadTrust{"TruncatedCertificate", true,
                               "-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace tessaly
