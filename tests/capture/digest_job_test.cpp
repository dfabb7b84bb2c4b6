// The fetch job against addresses with credentials: Digest-protected files on a real lighttpd,
// and the referer line, file name and caption, which must never carry the credentials.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "base/fileutil.h"
#include "capture/fetchjob.h"
#include "net/sockapi.h"
#include "support/digestserver.h"
#include "support/scriptedpeer.h"
#include "tests/capture/fakejob.h"

namespace tessaly {
namespace {

struct DigestJobCase {
  const char* path;
  const char* userinfo;
  bool authorised;
};

class DigestJobTest : public ::testing::TestWithParam<DigestJobCase> {
 protected:
  static void SetUpTestSuite() {
    layer_ = std::make_unique<TSocketLayerScope>();
    server_ = DigestServer::Start(&error_);
  }
  static void TearDownTestSuite() {
    server_.reset();
    layer_.reset();
  }
  static std::unique_ptr<TSocketLayerScope> layer_;
  static std::unique_ptr<DigestServer> server_;
  static std::string error_;
};

std::unique_ptr<TSocketLayerScope> DigestJobTest::layer_;
std::unique_ptr<DigestServer> DigestJobTest::server_;
std::string DigestJobTest::error_;

TEST_P(DigestJobTest, StoresTheServedFileOrTheRefusal) {
  ASSERT_TRUE(server_) << error_;
  std::string picture(70000, '\0');
  for (size_t i = 0; i < picture.size(); ++i) picture[i] = static_cast<char>(i * 13 + i / 7);
  server_->Put(std::string(GetParam().path) + "/snap.jpg", picture);
  ScratchDir dir;
  FakeJob job(server_->Url(std::string(GetParam().path) + "/snap.jpg", GetParam().userinfo),
              dir.Path() + "/", 7);
  FetchImageJob(job);
  ASSERT_EQ(Listing(dir.Path()), std::vector<std::string>{"snap_00000007.jpg"});
  Text stored;
  ASSERT_TRUE(ReadWholeFile(dir.File("snap_00000007.jpg"), stored));
  if (GetParam().authorised) {
    EXPECT_TRUE(stored == picture) << stored.size() << " bytes: " << stored.substr(0, 200);
  } else {
    EXPECT_NE(stored.find("401"), std::string::npos) << stored;
  }
}

INSTANTIATE_TEST_SUITE_P(Lighttpd, DigestJobTest,
                         ::testing::Values(DigestJobCase{"md5", "cam:p%40ss%3Aw%2Frd@", true},
                                           DigestJobCase{"sha256", "cam:p%40ss%3Aw%2Frd@", true},
                                           DigestJobCase{"sha256", "cam:p%40ss@", false}));

class CredentialsStayPrivate : public ::testing::TestWithParam<const char*> {
 protected:
  static void SetUpTestSuite() { layer_ = std::make_unique<TSocketLayerScope>(); }
  static void TearDownTestSuite() { layer_.reset(); }
  static std::unique_ptr<TSocketLayerScope> layer_;
};

std::unique_ptr<TSocketLayerScope> CredentialsStayPrivate::layer_;

TEST_P(CredentialsStayPrivate, InRefererFileNameAndCaption) {
  ScriptedPeer peer({PeerStep::AwaitText("\r\n\r\n\r\n\r\n"),
                     PeerStep::Send("HTTP/1.0 200 OK\r\n\r\nx"), PeerStep::Close()});
  const std::string authority = "127.0.0.1:" + peer.PortText();
  ScratchDir dir;
  FakeJob job("http://cam:secret@" + authority + GetParam(), dir.Path() + "/", 7);
  FetchImageJob(job);
  ASSERT_TRUE(peer.WaitFinished(5000)) << peer.Failure();
  const std::string referer = *GetParam() ? "http://" + authority : "";
  EXPECT_NE(peer.Received().find("\r\nreferer:" + referer + "\r\n\r\n\r\n\r\n"), std::string::npos)
      << peer.Received();
  const std::vector<std::string> names = Listing(dir.Path());
  ASSERT_EQ(names.size(), 1u);
  for (const std::string& text : {names[0], job.captions.at(0).substr(dir.Path().size())}) {
    EXPECT_EQ(text.find("secret"), std::string::npos) << text;
    EXPECT_EQ(text.find("cam"), std::string::npos) << text;
  }
}

INSTANTIATE_TEST_SUITE_P(Addresses, CredentialsStayPrivate, ::testing::Values("", "/x.jpg"));

}  // namespace
}  // namespace tessaly
