// Stream addresses: the job stores a motion-JPEG stream's first frame and closes the connection,
// against scripted streams sent one byte per packet and against a real one.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "base/fileutil.h"
#include "capture/job/fetchjob.h"
#include "net/sockapi.h"
#include "support/childprocess.h"
#include "support/scriptedpeer.h"
#include "tests/capture/job/fakejob.h"

namespace tessaly {
namespace {

// A frame with line feeds, dashes and near-boundaries inside, as compressed pictures have.
const std::string kFrame = "\xFF\xD8\xFF\xE0jpeg\r\n--fram\n-frame-x\r\n--frame2\r\n\xFF\xD9";
const std::string kJpegPart = "Content-Type: image/jpeg\r\n";
const std::string kLength = "Content-Length: " + std::to_string(kFrame.size()) + "\r\n";
const std::string kNext = "\r\n--frame\r\n" + kJpegPart + "\r\n\xFF\xD8 second";

struct StreamCase {
  std::string name;
  std::string head;  // status and header lines after the content type line
  std::string type;  // the answer's Content-Type value
  std::string body;
  std::string file;  // "" when nothing may be stored
  std::string frame = kFrame;
};

void PrintTo(const StreamCase& c, std::ostream* os) {
  *os << c.name;
}

class StreamJobTest : public ::testing::TestWithParam<StreamCase> {
 protected:
  static void SetUpTestSuite() { layer_ = std::make_unique<TSocketLayerScope>(); }
  static void TearDownTestSuite() { layer_.reset(); }
  std::vector<std::string> Fetch(const std::string& address) {
    FakeJob job(address, dir_.Path() + "/", 1);
    FetchImageJob(job);
    return Listing(dir_.Path());
  }
  ScratchDir dir_;
  static std::unique_ptr<TSocketLayerScope> layer_;
};
std::unique_ptr<TSocketLayerScope> StreamJobTest::layer_;

TEST_P(StreamJobTest, StoresTheFirstFrameAndCloses) {
  const StreamCase& c = GetParam();
  PeerScript script{PeerStep::AwaitText("\r\n\r\n")};
  for (char byte : "HTTP/1.0 200 OK\r\nContent-Type: " + c.type + "\r\n" + c.head + c.body) {
    script.insert(script.end(), {PeerStep::Send(std::string(1, byte)), PeerStep::Pause(1)});
  }
  script.push_back(c.file.empty() ? PeerStep::Close() : PeerStep::AwaitEof());
  ScriptedPeer peer(script);
  const auto files = Fetch("http://127.0.0.1:" + peer.PortText() + "/video.mjpg");
  ASSERT_TRUE(peer.WaitFinished(5000)) << peer.Failure();
  ASSERT_EQ(files, c.file.empty() ? std::vector<std::string>{} : std::vector{c.file});
  if (c.file.empty()) return;
  Text stored;
  ASSERT_TRUE(ReadWholeFile(dir_.File(c.file), stored));
  EXPECT_EQ(stored, c.frame);
}

const std::string kType = "multipart/x-mixed-replace;boundary=frame";
INSTANTIATE_TEST_SUITE_P(
    Quirks, StreamJobTest,
    ::testing::Values(
        StreamCase{"ByPartLength", "\r\n", kType,
                   "--frame\r\n" + kJpegPart + kLength + "\r\n" + kFrame + kNext,
                   "video_00000001.jpg"},
        StreamCase{"DashedQuotedBoundaryExtraHeaders", "\r\n",
                   "Multipart/X-Mixed-Replace ; Boundary = \"--frame\"",
                   "--frame\r\ncontent-TYPE:image/jpeg\r\nX-Timestamp: 1\r\n\r\n" + kFrame + kNext,
                   "video_00000001.jpg"},
        StreamCase{"NoBoundaryLineFirstAndBlankLineBeforeTheNext", "\r\n", kType,
                   "X-Status: ok\r\n\r\n" + kFrame + "\r\n" + kNext, "video_00000001.jpg"},
        StreamCase{"FramedByLength", "Content-Length: 300\r\n\r\n", kType,
                   "\r\n--frame\r\n\r\n" + kFrame + kNext, "video_00000001.jpg"},
        StreamCase{"Chunked", "Transfer-Encoding: chunked\r\n\r\n", kType,
                   "9\r\n--frame\r\n\r\n7\r\n\r\n\xFF\xD8\xFF\xE0j\r\n28\r\n" + kFrame.substr(5) +
                       "\r\n--fr\r\n1f\r\name\r\n" + kJpegPart + "\r\n",
                   "video_00000001.jpg"},
        StreamCase{"OtherPartKeepsTheAddressName", "\r\n", kType,
                   "--frame\r\nContent-Type: text/plain\r\n\r\nhello\r\n--frame--\r\n",
                   "video_00000001.mjpg", "hello"},
        StreamCase{"EmptyPartWithABoundaryBeginningWithFFD8", "\r\n",
                   "multipart/x-mixed-replace; boundary=b", "--\xFF\xD8\r\n\r\n\xFF\xD8\r\n", ""},
        StreamCase{"EndsBeforeTheFrameEnds", "\r\n", kType, "--frame\r\n\r\n" + kFrame, ""},
        StreamCase{"ChunksEndBeforeTheFrameEnds", "Transfer-Encoding: chunked\r\n\r\n", kType,
                   "d\r\n--frame\r\n\r\n\xFF\xD8\r\n0\r\n\r\n", ""}),
    [](const auto& info) { return info.param.name; });

TEST_F(StreamJobTest, RealStreamGivesOneDecodableFrame) {
  const int port = PickFreePort();
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/video.mjpg";
  std::string error;
  auto server = ChildProcess::Start(
      {"ffmpeg", "-nostdin", "-f", "lavfi", "-i", "testsrc=size=320x240:rate=10", "-c:v", "mjpeg",
       "-f", "mpjpeg", "-content_type", "multipart/x-mixed-replace;boundary=ffmpeg", "-listen", "1",
       url},
      dir_.File("ffmpeg.log"), &error);
  ASSERT_TRUE(server) << error;
  ASSERT_TRUE(server->WaitUntilAccepting("127.0.0.1", port, 20000, &error, true)) << error;
  const auto files = Fetch(url);
  ASSERT_NE(std::find(files.begin(), files.end(), "video_00000001.jpg"), files.end());
  const std::string probe =
      "ffprobe -v error -count_frames -show_entries "
      "stream=codec_name,width,height,nb_read_frames -of csv=p=0 " +
      dir_.File("video_00000001.jpg") + " 2>&1";
  std::string output(256, '\0');
  FILE* pipe = popen(probe.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  output.resize(fread(output.data(), 1, output.size(), pipe));
  EXPECT_EQ(pclose(pipe), 0);
  EXPECT_EQ(output, "mjpeg,320,240,1\n");
}

}  // namespace
}  // namespace tessaly
