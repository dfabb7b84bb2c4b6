// The OpenSSL plug as a TLS server, with curl as the client: the plug takes its certificate and
// key (plain, in one file, or encrypted under KeyPassword) and serves an answer that curl checks
// against the test CA; settings that cannot work fail the handshake before anything is sent.
#include <fstream>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>

#include "support/tlspki.h"
#include "support/tlstesting.h"

namespace tessaly {
namespace {

constexpr int kLimitMs = 10000;

std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

enum class KeySetup {
  SeparateFiles,
  KeyInCertificateFile,
  Encrypted,
  WrongPassword,
  NoCertificate
};

struct ServerCase {
  std::string name;
  KeySetup setup;
  bool serves;
};

// Names the case in test listings.
void PrintTo(const ServerCase& c, std::ostream* out) {
  *out << c.name;
}

class TlsServerSide : public TlsSocketTestP<ServerCase> {};

TEST_P(TlsServerSide, ServesCurlOnlyWithAUsableKey) {
  const ServerCase& c = GetParam();
  TestPki pki;
  ASSERT_TRUE(pki.Ok()) << pki.Error();
  ScratchDir dir;
  std::string cert_file = pki.CertFile(TestCert::Good);
  std::string key_file = pki.KeyFile(TestCert::Good);
  std::string password;
  if (c.setup == KeySetup::KeyInCertificateFile) {
    cert_file = dir.WriteFile("both.pem", FileText(cert_file) + FileText(key_file));
    key_file.clear();
  } else if (c.setup == KeySetup::Encrypted || c.setup == KeySetup::WrongPassword) {
    std::string why;
    ASSERT_EQ(RunToEnd({"openssl", "pkey", "-in", key_file, "-aes256", "-passout", "pass:s3cret",
                        "-out", dir.File("encrypted.key")},
                       dir.File("pkey.log"), &why),
              0)
        << why << FileText(dir.File("pkey.log"));
    key_file = dir.File("encrypted.key");
    password = c.setup == KeySetup::Encrypted ? "s3cret" : "wrong";
  } else if (c.setup == KeySetup::NoCertificate) {
    cert_file.clear();
    key_file.clear();
  }

  TTCPBlockSocket listener;
  listener.BindTo("127.0.0.1", "0");
  listener.StartListening();
  ASSERT_EQ(listener.SocketError(), 0) << listener.SocketErrorText();
  const std::string port = std::to_string(listener.LocalPort());

  bool accepted = false;
  Text plug_error;
  Text request_line;
  std::thread server([&] {
    if (!listener.WaitReadable(kLimitMs)) return;  // curl never came
    auto sock = NewTlsSocket();
    sock->AdoptHandle(AcceptSocket(listener.Handle(), nullptr));
    TCustomSSL& plug = sock->SSLPlug();
    plug.SetCertificateFile(cert_file);
    plug.SetPrivateKeyFile(key_file);
    plug.SetKeyPassword(password);
    plug.SetTimeout(kLimitMs);
    accepted = plug.AcceptTLS();
    plug_error = plug.PlugErrorText();
    if (!accepted) return;
    request_line = sock->ReadLine(kLimitMs);
    while (sock->SocketError() == 0 && !sock->ReadLine(kLimitMs).empty()) {
    }
    sock->WriteText("HTTP/1.0 200 OK\r\nContent-Length: 13\r\n\r\nserved by us\n");
    sock->Close();
  });
  const std::string out = dir.File("out.txt");
  std::string why;
  const int status = RunToEnd({"curl", "-s", "-S", "--max-time", "10", "--cacert", pki.CaFile(),
                               "-o", out, "https://localhost:" + port + "/x"},
                              dir.File("curl.log"), &why);
  server.join();

  EXPECT_EQ(accepted, c.serves) << plug_error;
  if (c.serves) {
    EXPECT_EQ(status, 0) << why << FileText(dir.File("curl.log"));
    EXPECT_EQ(FileText(out), "served by us\n");
    EXPECT_EQ(request_line, "GET /x HTTP/1.1");
  } else {
    EXPECT_NE(status, 0);
    EXPECT_NE(plug_error.find("TLS setup"), std::string::npos) << plug_error;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, TlsServerSide,
    ::testing::Values(ServerCase{"SeparateFiles", KeySetup::SeparateFiles, true},
                      ServerCase{"KeyInCertificateFile", KeySetup::KeyInCertificateFile, true},
                      ServerCase{"EncryptedKey", KeySetup::Encrypted, true},
                      ServerCase{"WrongKeyPassword", KeySetup::WrongPassword, false},
                      ServerCase{"NoCertificate", KeySetup::NoCertificate, false}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace tessaly
