// The fetch job against scripted loopback servers: the exact request, what is stored for each
// kind of answer, and what a failed fetch or write leaves behind.
#include "capture/job/fetchjob.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "base/fileutil.h"
#include "capture/job/naming.h"
#include "net/sockapi.h"
#include "support/childprocess.h"
#include "support/samplepictures.h"
#include "support/scriptedpeer.h"
#include "tests/capture/job/fakejob.h"

namespace tessaly {
namespace {

namespace fs = std::filesystem;

struct RefererCase {
  const char* address;
  const char* referer;
};

class GetRefererTest : public ::testing::TestWithParam<RefererCase> {};

TEST_P(GetRefererTest, CutsAtTheFirstSlashFromTheEighthCharacter) {
  EXPECT_EQ(GetReferer(GetParam().address), GetParam().referer) << GetParam().address;
}

INSTANTIATE_TEST_SUITE_P(
    Table, GetRefererTest,
    ::testing::Values(RefererCase{"", ""}, RefererCase{"http://", ""}, RefererCase{"http://c", ""},
                      RefererCase{"http://cam", ""}, RefererCase{"http://cam/", "http://cam"},
                      RefererCase{"http://cam:8080/a/b.jpg", "http://cam:8080"},
                      RefererCase{"https://cam/x", "https:/"}, RefererCase{"abcdefg/h", "abcdefg"},
                      RefererCase{"abcdef/gh/", "abcdef/gh"}, RefererCase{"/abcdefghij", ""}));

std::string FileText(const std::string& path) {
  Text content;
  EXPECT_TRUE(ReadWholeFile(path, content)) << path;
  return content;
}

class FetchJobTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { layer_ = std::make_unique<TSocketLayerScope>(); }
  static void TearDownTestSuite() { layer_.reset(); }

  std::string Url(const ScriptedPeer& peer, const std::string& path) const {
    return "http://" + peer.Host() + ":" + peer.PortText() + path;
  }
  FakeJob MakeJob(const std::string& address, int32_t counter = 7) {
    return FakeJob(address, dir_.Path() + "/", counter);
  }

  ScratchDir dir_;
  static std::unique_ptr<TSocketLayerScope> layer_;
};

std::unique_ptr<TSocketLayerScope> FetchJobTest::layer_;

const char kSaveError[] = "Error - can't save file\r\nProbably disk full";

TEST_F(FetchJobTest, SendsOneGetEndingWithFourLineEndPairs) {
  ScriptedPeer peer({PeerStep::AwaitText("\r\n\r\n\r\n\r\n"),
                     PeerStep::Send("HTTP/1.0 200 OK\r\nContent-Length: 4\r\n\r\nJPEG"),
                     PeerStep::Close()});
  FakeJob job = MakeJob(Url(peer, "/cam/image.jpg"));
  FetchImageJob(job);
  ASSERT_TRUE(peer.WaitFinished(5000)) << peer.Failure();

  const std::string authority = peer.Host() + ":" + peer.PortText();
  EXPECT_EQ(peer.Received(),
            "GET /cam/image.jpg HTTP/1.0\r\n"
            "Host: " +
                authority +
                "\r\n"
                "User-Agent: Mozilla/4.0 (compatible; Tessaly)\r\n"
                "referer:http://" +
                authority + "\r\n\r\n\r\n\r\n");
  EXPECT_EQ(Listing(dir_.Path()), std::vector<std::string>{"image_00000007.jpg"});
  EXPECT_EQ(FileText(dir_.File("image_00000007.jpg")), "JPEG");
  EXPECT_EQ(job.captions, std::vector<Text>{dir_.File("image_00000007.jpg")});
  EXPECT_TRUE(job.messages.empty());
}

TEST_F(FetchJobTest, ShortAddressSendsAnEmptyReferer) {
  ScriptedPeer peer({PeerStep::AwaitText("\r\n\r\n\r\n\r\n"),
                     PeerStep::Send("HTTP/1.0 200 OK\r\n\r\nx"), PeerStep::Close()});
  // No scheme: fewer than eight characters before the path are not enough for a referer.
  FakeJob job = MakeJob(peer.Host() + ":" + peer.PortText());
  FetchImageJob(job);
  ASSERT_TRUE(peer.WaitFinished(5000)) << peer.Failure();
  EXPECT_NE(peer.Received().find("\r\nreferer:\r\n\r\n\r\n\r\n"), std::string::npos)
      << peer.Received();
  EXPECT_EQ(Listing(dir_.Path()), std::vector<std::string>{"_00000007"});
}

struct AnswerCase {
  std::string name;
  PeerScript answer;
  bool stored;
  std::string body;
  // What the job reported: "stored", "stored short", "unchanged" or the failure's reason.
  std::string report = "stored";
  TJobOptions options = {};
  std::string earlier = {};  // with SkipUnchanged: the series' last stored picture
};

std::string Report(const TJobOutcome& outcome) {
  if (outcome.Kind == TJobOutcome::TKind::Unchanged) return "unchanged";
  if (outcome.Kind != TJobOutcome::TKind::Stored) return outcome.Reason;
  return outcome.ShortOfLength ? "stored short" : "stored";
}

void PrintTo(const AnswerCase& c, std::ostream* os) {
  *os << c.name;
}

class FetchJobAnswerTest : public FetchJobTest, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(FetchJobAnswerTest, StoresWhatACompletedTransactionBrought) {
  PeerScript script{PeerStep::AwaitText("\r\n\r\n\r\n\r\n")};
  script.insert(script.end(), GetParam().answer.begin(), GetParam().answer.end());
  ScriptedPeer peer(script);
  FakeJob job = MakeJob(Url(peer, "/snap.jpg"));
  job.options = GetParam().options;
  if (job.options.SkipUnchanged) job.options.LastStored = dir_.WriteFile("a", GetParam().earlier);
  FetchImageJob(job);
  EXPECT_TRUE(job.messages.empty()) << "a fetch never shows a box";
  ASSERT_EQ(job.outcomes.size(), 1u);
  EXPECT_EQ(Report(job.outcomes[0]), GetParam().report);
  if (job.options.SkipUnchanged) fs::remove(dir_.File("a"));
  if (GetParam().stored) {
    ASSERT_EQ(Listing(dir_.Path()), std::vector<std::string>{"snap_00000007.jpg"});
    EXPECT_EQ(FileText(dir_.File("snap_00000007.jpg")), GetParam().body);
  } else {
    EXPECT_TRUE(Listing(dir_.Path()).empty());
    EXPECT_TRUE(job.captions.empty()) << "the caption keeps its text";
  }
}

std::string Head(const std::string& status, const std::string& type, size_t length) {
  return "HTTP/1.0 " + status + "\r\nContent-Type: " + type +
         "\r\nContent-Length: " + std::to_string(length) + "\r\n\r\n";
}
PeerScript Answer(const std::string& status, const std::string& type, const std::string& body) {
  return {PeerStep::Send(Head(status, type, body.size()) + body), PeerStep::Close()};
}
const std::string kJpeg = SampleJpeg();
const std::string kShortJpegHead = Head("200 OK", "image/jpeg", kJpeg.size() + 48);

INSTANTIATE_TEST_SUITE_P(
    Answers, FetchJobAnswerTest,
    ::testing::Values(
        AnswerCase{
            "NotFoundPageIsStored",
            {PeerStep::Send("HTTP/1.0 404 Not Found\r\nContent-Length: 10\r\n\r\n<h1>x</h1>"),
             PeerStep::Close()},
            true,
            "<h1>x</h1>"},
        AnswerCase{
            "EmptyBodyGivesAnEmptyFile",
            {PeerStep::Send("HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n"), PeerStep::Close()},
            true,
            ""},
        AnswerCase{"BodyUntilCloseInPieces",
                   {PeerStep::Send("HTTP/1.0 200 OK\r\n\r\nab"), PeerStep::Pause(20),
                    PeerStep::Send("cd"), PeerStep::Close()},
                   true,
                   "abcd"},
        AnswerCase{"ResetMidBodyStoresNothing",
                   {PeerStep::Send("HTTP/1.0 200 OK\r\n\r\npartial"), PeerStep::Pause(20),
                    PeerStep::Reset()},
                   false,
                   "",
                   "reset by the camera after 26 bytes"},
        AnswerCase{"CloseBeforeTheAnnouncedLengthStoresNothing",
                   {PeerStep::Send("HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\nshort"),
                    PeerStep::Close()},
                   false,
                   "",
                   "closed early: 5 of 100 bytes"},
        AnswerCase{"CloseWithoutAnswerStoresNothing",
                   {PeerStep::Close()},
                   false,
                   "",
                   "closed without an answer"},
        AnswerCase{"ShortWholeJpegIsStored",
                   {PeerStep::Send(kShortJpegHead + kJpeg + "\r\n"), PeerStep::Close()},
                   true,
                   kJpeg + "\r\n",
                   "stored short"},
        AnswerCase{
            "ShortWholeJpegOfARefusalStoresNothing",
            {PeerStep::Send(Head("401 Unauthorized", "image/jpeg", kJpeg.size() + 48) + kJpeg),
             PeerStep::Close()},
            false,
            "",
            "closed early: " + std::to_string(kJpeg.size()) + " of " +
                std::to_string(kJpeg.size() + 48) + " bytes"},
        AnswerCase{"ShortJpegEndedByAResetStoresNothing",
                   {PeerStep::Send(kShortJpegHead + kJpeg), PeerStep::Pause(20), PeerStep::Reset()},
                   false,
                   "",
                   "reset by the camera after " +
                       std::to_string(kShortJpegHead.size() + kJpeg.size()) + " bytes"},
        AnswerCase{"FailRefusesAnErrorStatus",
                   Answer("503 Service Unavailable", "text/xml", "<busy/>"), false, "",
                   "HTTP 503 Service Unavailable", TJobOptions{.FailOnHttpError = true}},

        AnswerCase{"ImagesOnlyRefusesAPage", Answer("200 OK", "text/html", "<h1>login</h1>"), false,
                   "", "not a picture: text/html, 14 bytes", TJobOptions{.ImagesOnly = true}},
        AnswerCase{"ImagesOnlyRefusesAJpegWithoutItsEnd",
                   Answer("200 OK", "image/jpeg", kJpeg.substr(0, kJpeg.size() - 2)), false, "",
                   "incomplete JPEG: no end-of-image marker", TJobOptions{.ImagesOnly = true}},

        AnswerCase{"SkipUnchangedSkipsTheSamePicture", Answer("200 OK", "image/jpeg", kJpeg), false,
                   "", "unchanged", TJobOptions{.SkipUnchanged = true}, kJpeg}),
    [](const auto& info) { return info.param.name; });

TEST_F(FetchJobTest, RefusedConnectionStoresAndShowsNothing) {
  const int port = PickFreePort("127.0.0.1");
  FakeJob job = MakeJob("http://127.0.0.1:" + std::to_string(port) + "/image.jpg");
  FetchImageJob(job);
  EXPECT_TRUE(Listing(dir_.Path()).empty());
  EXPECT_TRUE(job.captions.empty());
  EXPECT_TRUE(job.messages.empty());
}

TEST_F(FetchJobTest, HttpsWithoutATlsPlugStoresNothing) {
  ScriptedPeer peer({});
  FakeJob job = MakeJob("https://" + peer.Host() + ":" + peer.PortText() + "/image.jpg");
  FetchImageJob(job);
  EXPECT_TRUE(Listing(dir_.Path()).empty());
  EXPECT_TRUE(job.messages.empty());
}

TEST_F(FetchJobTest, ExistingNamesGetTheNextSuffix) {
  dir_.WriteFile("image_00000007.jpg", "old");
  dir_.WriteFile("image_00000007[1].jpg", "older");
  ScriptedPeer peer({PeerStep::AwaitText("\r\n\r\n\r\n\r\n"),
                     PeerStep::Send("HTTP/1.0 200 OK\r\n\r\nnew"), PeerStep::Close()});
  FakeJob job = MakeJob(Url(peer, "/image.jpg"));
  FetchImageJob(job);
  EXPECT_EQ(FileText(dir_.File("image_00000007.jpg")), "old");
  EXPECT_EQ(FileText(dir_.File("image_00000007[1].jpg")), "older");
  EXPECT_EQ(FileText(dir_.File("image_00000007[2].jpg")), "new");
}

TEST_F(FetchJobTest, AFileThatAppearsAfterNamingIsNeverOverwritten) {
  ScriptedPeer peer({PeerStep::AwaitText("\r\n\r\n\r\n\r\n"),
                     PeerStep::Send("HTTP/1.0 200 OK\r\n\r\nnew"), PeerStep::Close()});
  FakeJob job = MakeJob(Url(peer, "/image.jpg"));
  bool raced = false;
  job.after_naming = [&](const Text& path) {
    if (raced) return;
    raced = true;
    std::ofstream(path, std::ios::binary) << "someone else's";
  };
  FetchImageJob(job);
  EXPECT_EQ(FileText(dir_.File("image_00000007.jpg")), "someone else's");
  EXPECT_EQ(FileText(dir_.File("image_00000007[1].jpg")), "new");
  ASSERT_EQ(job.captions.size(), 2u);
  EXPECT_EQ(job.captions.back(), dir_.File("image_00000007[1].jpg"))
      << "the caption shows the name actually written";
  EXPECT_TRUE(job.messages.empty());
}

TEST_F(FetchJobTest, VanishedDirectoryShowsTheSaveErrorAndKeepsEarlierFiles) {
  const std::string series = dir_.File("series");
  ASSERT_EQ(mkdir(series.c_str(), 0700), 0);
  { std::ofstream(series + "/image_00000006.jpg", std::ios::binary) << "earlier"; }
  ScriptedPeer peer({PeerStep::AwaitText("\r\n\r\n\r\n\r\n"),
                     PeerStep::Send("HTTP/1.0 200 OK\r\n\r\nnew"), PeerStep::Close()});
  FakeJob job(Url(peer, "/image.jpg"), series + "/", 7);
  job.after_naming = [&](const Text&) { fs::rename(series, dir_.File("moved")); };
  FetchImageJob(job);
  EXPECT_EQ(job.messages, std::vector<Text>{kSaveError});
  ASSERT_FALSE(job.captions.empty());
  EXPECT_EQ(job.captions.back(), kSaveError);
  EXPECT_EQ(Listing(dir_.File("moved")), std::vector<std::string>{"image_00000006.jpg"})
      << "no partial or temporary file is left";
}

TEST_F(FetchJobTest, NameLongerThanTheDirectoryTakesIsShortened) {
  ScriptedPeer peer({PeerStep::AwaitText("\r\n\r\n\r\n\r\n"),
                     PeerStep::Send("HTTP/1.0 200 OK\r\n\r\nnew"), PeerStep::Close()});
  FakeJob job = MakeJob(Url(peer, "/" + std::string(300, 'n') + ".jpg"));
  FetchImageJob(job);
  EXPECT_TRUE(job.messages.empty());
  const size_t base = NameMax(dir_.Path()) - std::string("_00000007.jpg").size();
  EXPECT_EQ(Listing(dir_.Path()),
            std::vector<std::string>{std::string(base, 'n') + "_00000007.jpg"});
}

TEST_F(FetchJobTest, StopRequestEndsAWaitingTransactionPromptly) {
  ScriptedPeer peer({});  // accepts and never answers
  FakeJob job = MakeJob(Url(peer, "/image.jpg"));
  std::atomic<bool> done{false};
  std::thread worker([&] {
    FetchImageJob(job);
    done = true;
  });
  ASSERT_TRUE(peer.WaitReceived(1, 5000));
  const uint32_t asked = TickCount();
  job.stop.request_stop();
  worker.join();
  EXPECT_LT(TickSpan(asked, TickCount()), 3000);
  EXPECT_TRUE(Listing(dir_.Path()).empty());
  EXPECT_TRUE(job.messages.empty());
}

}  // namespace
}  // namespace tessaly
