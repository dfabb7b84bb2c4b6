// The kept session against GStreamer's RTSP server (tests/peers/rtsp_server.py): its memory
// stays within one keyframe interval and its caps, and it ends at once however busy it is (the
// ThreadSanitizer pass runs these too).
#include "media/rtspsource.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "support/childprocess.h"

namespace tessaly {
namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

bool WholeJpeg(const TByteBuffer& jpeg) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(jpeg.Memory());
  const int64_t size = jpeg.Size();
  return size > 4 && bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[size - 2] == 0xFF &&
         bytes[size - 1] == 0xD9;
}

class WarmRtsp : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string error;
    const std::string log =
        ::testing::TempDir() + "rtsp_server_" + std::to_string(getpid()) + ".log";
    server_ = ChildProcess::Start(
                  {"/usr/bin/python3", TESSALY_SOURCE_DIR "/tests/peers/rtsp_server.py", "0"}, log,
                  &error)
                  .release();
    ASSERT_NE(server_, nullptr) << error;
    for (const auto until = TClock::now() + 60s; TClock::now() < until && port_.empty();) {
      const std::string text = server_->Log();
      if (const size_t at = text.find("ready ");
          at != std::string::npos && text.find('\n', at) != std::string::npos)
        port_ = text.substr(at + 6, text.find('\n', at) - at - 6);
      else
        std::this_thread::sleep_for(50ms);
    }
    ASSERT_FALSE(port_.empty()) << server_->Log();
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  static TAddress Address(const std::string& path) {
    return ParseAddress("rtsp://127.0.0.1:" + port_ + path);
  }

  static inline ChildProcess* server_ = nullptr;
  static inline std::string port_;
};

// Packets of one 2 s keyframe interval at 25 fps: 50 frames, the keyframe in two packets.
TEST_F(WarmRtsp, HoldsOneKeyframeIntervalAndGivesFreshPictures) {
  TWarmRtsp warm(Address("/gop2"));
  TByteBuffer jpeg;
  TMediaFailure failure;
  ASSERT_TRUE(warm.Picture(jpeg, {}, kRtspDeadline, failure)) << failure.Reason;
  EXPECT_TRUE(WholeJpeg(jpeg));
  int32_t most = 0;
  for (const auto until = TClock::now() + 3s; TClock::now() < until;) {
    most = std::max(most, warm.HeldPackets());
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_GT(most, 25);
  EXPECT_LE(most, 52);
  ASSERT_TRUE(warm.Picture(jpeg, {}, kRtspDeadline, failure)) << failure.Reason;
  EXPECT_TRUE(WholeJpeg(jpeg));
}

// A cap below the keyframe interval (a camera that sends keyframes rarely): nothing beyond it
// is ever held, and what passed it is dropped until the next keyframe.
TEST_F(WarmRtsp, CapBoundsRareKeyframes) {
  TWarmLimits limits;
  limits.MaxPackets = 20;
  TWarmRtsp warm(Address("/gop10"), limits);
  int32_t most = 0;
  bool dropped = false;
  for (const auto until = TClock::now() + 25s; TClock::now() < until && !(dropped && most);) {
    const int32_t held = warm.HeldPackets();
    dropped = dropped || (most > 0 && held == 0);
    most = std::max(most, held);
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_LE(most, 20);
  TByteBuffer jpeg;
  TMediaFailure failure;
  if (!dropped) warm.Picture(jpeg, {}, 1ms, failure);
  EXPECT_TRUE(dropped) << "the packets past the cap were not dropped; at most " << most << ": "
                       << failure.Reason;
}

// A camera that accepts and never answers: the owner's end and a stop end the waits at once.
TEST_F(WarmRtsp, EndsAtOnceWhileConnecting) {
  const int silent = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof at;
  ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
  ASSERT_EQ(listen(silent, 4), 0);
  getsockname(silent, reinterpret_cast<sockaddr*>(&at), &length);
  const TAddress address = ParseAddress("rtsp://127.0.0.1:" + std::to_string(ntohs(at.sin_port)));

  auto warm = std::make_unique<TWarmRtsp>(address);
  std::stop_source stop;
  std::jthread stopper([&] {
    std::this_thread::sleep_for(300ms);
    stop.request_stop();
  });
  TByteBuffer jpeg;
  TMediaFailure failure;
  const auto started = TClock::now();
  EXPECT_FALSE(warm->Picture(jpeg, stop.get_token(), kRtspDeadline, failure));
  EXPECT_EQ(failure.Reason, "");
  warm.reset();
  EXPECT_FALSE(GrabRtspPicture(address, jpeg, stop.get_token(), kRtspDeadline, failure));
  EXPECT_LT(TClock::now() - started, 2s);
  close(silent);
}

}  // namespace
}  // namespace tessaly
