// The real tessaly-capture program against cameras as they are: their own certificates, old TLS
// and busy answers, each from a local server.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <time.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "base/fileutil.h"
#include "support/childprocess.h"
#include "support/samplepictures.h"
#include "support/scriptedpeer.h"
#include "support/tlspki.h"
#include "support/tlsservers.h"
#include "support/webserver.h"

namespace tessaly {
namespace {

using Args = std::vector<std::string>;

std::string Slurp(const std::string& path) {
  Text content;
  ReadWholeFile(path, content);
  return content;
}

// "sha256//" and the base64 SHA-256 of the certificate's DER public key, by the openssl tool.
std::string PinOf(const std::string& cert, const ScratchDir& dir) {
  std::string error;
  RunToEnd({"sh", "-c",
            "openssl x509 -in '" + cert +
                "' -pubkey -noout | openssl pkey -pubin -outform der | openssl dgst -sha256 "
                "-binary | base64"},
           dir.File("pin"), &error);
  std::string pin = Slurp(dir.File("pin"));
  while (!pin.empty() && (pin.back() == '\n' || pin.back() == '\r')) pin.pop_back();
  return "sha256//" + pin;
}

std::string HttpDate(std::time_t when) {
  tm parts{};
  gmtime_r(&when, &parts);
  char text[64];
  strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &parts);
  return text;
}

std::string Answer(const std::string& status, const std::string& headers, const std::string& body) {
  return "HTTP/1.1 " + status + "\r\n" + headers +
         "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

const std::string kBusy = Answer("503 Service Unavailable", "", "busy");

struct TrustBusyCase {
  const char* name;
  // 'S' a TLS server with a self-signed certificate, 'L' old firmware's TLS, 'B' one scripted
  // answer per connection, 'G' two cameras of one --cameras process on one web server.
  char server;
  // Words for the camera: CA stands for the server's certificate file, PIN for its key's pin.
  Args options;
  std::vector<std::string> answers;  // 'B': in turn; DATE stands for an HTTP-date 3 s ahead
  int status;                        // --count 1 ends with 0, --max-failures 1 with 3
  std::vector<std::string> says;     // texts of the output and standard error
  int at_least_ms = 0;               // the run cannot be done sooner
};

// The row's name, for the test's listing.
void PrintTo(const TrustBusyCase& row, std::ostream* out) {
  *out << row.name;
}

class TrustBusyTest : public testing::TestWithParam<TrustBusyCase> {};

TEST_P(TrustBusyTest, Run) {
  const TrustBusyCase& c = GetParam();
  const std::string picture = SampleJpeg();
  ScratchDir dir, scratch, cameras;
  TestPki pki;
  std::unique_ptr<TlsSServer> self_signed;
  std::unique_ptr<TlsLegacyServer> legacy;
  std::unique_ptr<ScriptedPeer> peer;
  std::unique_ptr<WebServer> web;
  std::string url, cert;
  switch (c.server) {
    case 'S':
      ASSERT_TRUE(pki.Ok()) << pki.Error();
      self_signed = TlsSServer::Start(pki, TestCert::SelfSigned);
      ASSERT_TRUE(self_signed->Ok()) << self_signed->Error();
      self_signed->WriteFile("snap.jpg", picture);
      url = self_signed->Url("/snap.jpg");
      cert = pki.CertFile(TestCert::SelfSigned);
      break;
    case 'L':
      legacy = TlsLegacyServer::Start(picture);
      ASSERT_TRUE(legacy->Ok()) << legacy->Error();
      url = legacy->Url("/snap.jpg");
      cert = legacy->CertFile();
      break;
    case 'B': {
      std::vector<PeerScript> scripts;
      for (std::string answer : c.answers) {
        if (const size_t at = answer.find("DATE"); at != std::string::npos)
          answer.replace(at, 4, HttpDate(std::time(nullptr) + 3));
        scripts.push_back(
            {PeerStep::AwaitText("\r\n\r\n"), PeerStep::Send(answer), PeerStep::Close()});
      }
      scripts.push_back({PeerStep::AwaitText("\r\n\r\n"),
                         PeerStep::Send(Answer("200 OK", "Content-Type: image/jpeg\r\n", picture)),
                         PeerStep::Close()});
      peer = std::make_unique<ScriptedPeer>(scripts, ScriptedPeer::Options{});
      url = "http://127.0.0.1:" + peer->PortText() + "/snap.jpg";
      break;
    }
    case 'G': {
      std::string error;
      web = WebServer::Start(&error);
      ASSERT_TRUE(web) << error;
      web->Put("snap.jpg", picture);
      for (const char* name : {"front", "back"})
        cameras.WriteFile(name, web->Url("snap.jpg") + "\r\n1\r\n0\r\n0\r\n" + dir.Path() + "/" +
                                    name + "\r\n1\r\n");
      std::filesystem::create_directory(dir.File("front"));
      std::filesystem::create_directory(dir.File("back"));
      break;
    }
  }
  Args args = {"sh",
               "-c",
               "exec \"$0\" \"$@\" 2>" + scratch.File("err"),
               TESSALY_CAPTURE_BIN,
               "--every",
               "300ms",
               "--count",
               "1",
               "--max-failures",
               "1"};
  if (c.server == 'B') args.back() = "9";
  if (c.server == 'G') args.insert(args.end(), {"--every", "100ms", "--cameras", cameras.Path()});
  for (const std::string& word : c.options)
    args.push_back(word == "CA" ? cert : word == "PIN" ? PinOf(cert, scratch) : word);
  if (c.server != 'G') args.insert(args.end(), {url, dir.Path()});

  const auto began = std::chrono::steady_clock::now();
  std::string error;
  auto run = ChildProcess::Start(args, scratch.File("out"), &error);
  ASSERT_TRUE(run) << error;
  for (int polls = 0; run->IsRunning() && polls < 4000; ++polls)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_FALSE(run->IsRunning()) << "still running after 20 s";
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - began);
  const std::string said = Slurp(scratch.File("out")) + Slurp(scratch.File("err"));
  EXPECT_EQ(WIFEXITED(run->RawStatus()) ? WEXITSTATUS(run->RawStatus()) : -1, c.status) << said;
  for (const std::string& text : c.says) EXPECT_NE(said.find(text), std::string::npos) << said;
  EXPECT_GE(took.count(), c.at_least_ms) << said;
  // Exactly the picture, once; a failed fetch stores nothing (and still takes its number).
  std::vector<std::string> stored;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.Path()))
    if (entry.is_regular_file()) stored.push_back(Slurp(entry.path()));
  EXPECT_EQ(stored, std::vector<std::string>(c.status != 0     ? 0
                                             : c.server == 'G' ? 4
                                                               : 1,
                                             picture))
      << said;
}

const TrustBusyCase kCases[] = {
    {"SelfSignedIsRefused", 'S', {}, {}, 3, {"self-signed certificate"}},
    {"SelfSignedWithItsCaFile", 'S', {"--ca-file", "CA"}, {}, 0, {"stored "}},
    {"SelfSignedWithItsPin", 'S', {"--pin", "PIN"}, {}, 0, {"stored "}},
    {"SelfSignedWithAnotherPin",
     'S',
     {"--pin", "sha256//AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA="},
     {},
     3,
     {"is not the one pinned"}},
    {"SelfSignedInsecure",
     'S',
     {"--insecure"},
     {},
     0,
     {"--insecure: the camera's certificate is not verified", "stored "}},
    {"OldTlsIsRefused", 'L', {"--ca-file", "CA"}, {}, 3, {"unsafe legacy renegotiation disabled"}},
    {"OldTlsOnRequest",
     'L',
     {"--ca-file", "CA", "--tls-legacy"},
     {},
     0,
     {"--tls-legacy: old TLS", "stored "}},
    {"RetryAfterSeconds",
     'B',
     {"--fail"},
     {Answer("503 Service Unavailable", "Retry-After: 2\r\n", "busy")},
     0,
     {"busy, no request until ", " (Retry-After 2 s)", "stored "},
     1900},
    {"RetryAfterDate",
     'B',
     {"--fail"},
     {Answer("429 Too Many Requests", "Retry-After: DATE\r\n", "")},
     0,
     {"busy, no request until ", " (Retry-After ", "stored "},
     1000},
    {"BackOffToFourIntervals",
     'B',
     {"--fail"},
     {kBusy, kBusy, kBusy},
     0,
     {"(backing off to 2 intervals)", "(backing off to 4 intervals)", "stored "},
     // 503 at 0 and 300 ms, then 300 + 2 * 300, then 900 + 4 * 300: stored at 2100 ms.
     2000},
    {"MinGapAcrossCameras",
     'G',
     {"--min-gap", "400ms", "--count", "2"},
     {},
     0,
     {"front 20", "back 20"},
     // Four requests to one host:port, 400 ms apart, though each camera ticks every 100 ms.
     1150},
};

INSTANTIATE_TEST_SUITE_P(Table, TrustBusyTest, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tessaly
