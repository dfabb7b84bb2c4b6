// The fetch job with credentials in the address: both requests of a Digest exchange on the wire,
// Digest-protected files from a real lighttpd, and the credentials kept out of the referer line,
// the file name and the caption.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "base/codec.h"
#include "base/fileutil.h"
#include "capture/job/fetchjob.h"
#include "http/digestauth.h"
#include "net/sockapi.h"
#include "support/digestserver.h"
#include "support/scriptedpeer.h"
#include "tests/capture/job/fakejob.h"

namespace tessaly {
namespace {

class DigestJobTest : public ::testing::Test {
 protected:
  TSocketLayerScope layer_;
  ScratchDir dir_;
};

// path, userinfo, the challenge's parameters, and the Authorization line curl sends for them.
using WireCase = std::tuple<const char*, const char*, const char*, const char*>;
class DigestJobWire : public DigestJobTest, public ::testing::WithParamInterface<WireCase> {};

TEST_P(DigestJobWire, SecondRequestDiffersOnlyInItsAuthorizationLine) {
  const auto& [path_text, userinfo, params, digest_line] = GetParam();
  const std::string head =
      "HTTP/1.0 401 No\r\nWWW-Authenticate: Basic realm=\"c\"\r\n"
      "www-authenticate: Digest " +
      std::string(params) + "\r\n\r\n";
  ScriptedPeer peer({{PeerStep::AwaitText("\r\n\r\n"), PeerStep::Send(head), PeerStep::Close()},
                     {PeerStep::AwaitText("\r\n\r\n"), PeerStep::Send("HTTP/1.0 200 OK\r\n\r\nJ"),
                      PeerStep::Close()}},
                    {});
  const std::string path = path_text;
  const std::string authority = "127.0.0.1:" + peer.PortText();
  FakeJob job("http://" + std::string(userinfo) + "@" + authority + path, dir_.Path() + "/", 7);
  FetchImageJob(job);
  ASSERT_TRUE(peer.WaitFinished(5000)) << peer.Failure();

  const std::string uri = path.empty() ? "/" : path;
  const auto request = [&](const std::string& authorization) {
    return "GET " + uri + " HTTP/1.0\r\nHost: " + authority + "\r\n" + authorization +
           "\r\nUser-Agent: Mozilla/4.0 (compatible; Tessaly)\r\nreferer:" +
           (path.empty() ? "" : "http://" + authority) + "\r\n\r\n\r\n\r\n";
  };
  EXPECT_EQ(peer.Received(0), request("Authorization: Basic " + Base64Encode(userinfo)));
  EXPECT_EQ(peer.Received(1), request(digest_line));
  // Only the credentials hold a "%": neither the name nor the caption may show one.
  const std::string shown = Listing(dir_.Path()).at(0) + job.captions.at(0);
  EXPECT_EQ(shown.find('%'), std::string::npos) << shown;
}

TEST_F(DigestJobTest, RefusalCutShortOfItsLengthIsAnsweredNotStored) {
  ScriptedPeer peer({{PeerStep::AwaitText("\r\n\r\n"),
                      PeerStep::Send("HTTP/1.0 401 No\r\nWWW-Authenticate: Digest realm=\"c\", "
                                     "nonce=\"n1\"\r\nContent-Length: 100\r\n\r\nshort"),
                      PeerStep::Close()},
                     {PeerStep::AwaitText("\r\n\r\n"), PeerStep::Send("HTTP/1.0 200 OK\r\n\r\nJ"),
                      PeerStep::Close()}},
                    {});
  FakeJob job("http://cam:pw@127.0.0.1:" + peer.PortText() + "/a.jpg", dir_.Path() + "/", 7);
  FetchImageJob(job);
  ASSERT_TRUE(peer.WaitFinished(5000)) << peer.Failure();
  EXPECT_NE(peer.Received(1).find("Authorization: Digest "), std::string::npos);
  std::string stored;
  ASSERT_TRUE(ReadWholeFile(dir_.File("a_00000007.jpg"), stored));
  EXPECT_EQ(stored, "J");
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, DigestJobWire,
    ::testing::Values(
        WireCase{"", "c%61m:p%40ss", "realm=\"c\", nonce=\"n1\"",
                 "Authorization: Digest username=\"cam\", realm=\"c\", nonce=\"n1\", uri=\"/\", "
                 "response=\"6c95b30600ca74e7cbf7a29c01583ed5\""},
        WireCase{"/s.cgi?w=1&h=2", "c%61m:p%40ss", "realm=\"c\", nonce=\"n1\"",
                 "Authorization: Digest username=\"cam\", realm=\"c\", nonce=\"n1\", "
                 "uri=\"/s.cgi?w=1&h=2\", response=\"792489094057db67449964b0d5030303\""},
        WireCase{"", "c%22m:p%40ss", "realm=\"r\\\"1\", nonce=\"n1\", opaque=\"o1\"",
                 "Authorization: Digest username=\"c\\\"m\", realm=\"r\\\"1\", nonce=\"n1\", "
                 "uri=\"/\", response=\"45896babc8f0e6e106b23cabfefb6519\", opaque=\"o1\""}));

using LighttpdCase = std::tuple<const char*, const char*, bool>;  // path, userinfo, authorised
class DigestJobLighttpd : public DigestJobTest,
                          public ::testing::WithParamInterface<LighttpdCase> {};

TEST_P(DigestJobLighttpd, StoresTheServedFileOrTheRefusal) {
  static std::string error;
  static const std::unique_ptr<DigestServer> server = DigestServer::Start(&error);
  ASSERT_TRUE(server) << error;
  const auto& [path, userinfo, authorised] = GetParam();
  std::string picture(70000, '\0');
  for (size_t i = 0; i < picture.size(); ++i) picture[i] = static_cast<char>(i * 13 + i / 7);
  server->Put(std::string(path) + "/snap.jpg", picture);
  FakeJob job(server->Url(std::string(path) + "/snap.jpg", userinfo), dir_.Path() + "/", 7);
  FetchImageJob(job);
  ASSERT_EQ(Listing(dir_.Path()), std::vector<std::string>{"snap_00000007.jpg"});
  Text stored;
  ASSERT_TRUE(ReadWholeFile(dir_.File("snap_00000007.jpg"), stored));
  EXPECT_EQ(stored == picture, authorised) << stored.substr(0, 200);
  EXPECT_EQ(stored.find("401") != std::string::npos, !authorised);
}

INSTANTIATE_TEST_SUITE_P(Table, DigestJobLighttpd,
                         ::testing::Values(LighttpdCase{"md5", "cam:p%40ss%3Aw%2Frd@", true},
                                           LighttpdCase{"sha256", "cam:p%40ss%3Aw%2Frd@", true},
                                           LighttpdCase{"sha256", "cam:p%40ss@", false}));

}  // namespace
}  // namespace tessaly
