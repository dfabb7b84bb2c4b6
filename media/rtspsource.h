// Pictures from a camera that only streams: an rtsp:// address (H.264, H.265 or whatever else
// libavcodec decodes), read with FFmpeg's libraries (libavformat for RTSP and depacketising,
// libavcodec for decoding and the JPEG, libswscale between them), RTSP over TCP, Basic or Digest
// as the camera asks. Every picture is a whole one: decoding always begins at a keyframe.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <thread>

#include "base/bytebuffer.h"
#include "base/text.h"
#include "base/url.h"

namespace tessaly {

// How long a fetch from an rtsp address may take: the connect, the setup and the wait for a
// keyframe (cameras send one every 10 s at the longest, as a rule).
inline constexpr std::chrono::milliseconds kRtspDeadline{20000};

// True for an rtsp:// address (any case).
bool IsRtspAddress(const TAddress& address);

// Why a fetch failed: one line that never holds the address (it may hold a password), and
// whether the deadline ended it.
struct TMediaFailure {
  Text Reason;
  bool TimedOut = false;
};

// One picture over a session of its own: connects, waits for the next keyframe, decodes the
// first whole picture from it and encodes it as a JPEG into jpeg (from position 0). Blocks until
// then, until the deadline, or until stop is requested; false then, failure saying why (a stop
// leaves it empty).
bool GrabRtspPicture(const TAddress& address, TByteBuffer& jpeg, std::stop_token stop,
                     std::chrono::milliseconds deadline, TMediaFailure& failure);

// What a kept session holds at most between ticks: the packets from the last keyframe on, or
// nothing (until the next keyframe) once they pass either bound.
struct TWarmLimits {
  int64_t MaxBytes = 16 << 20;
  int32_t MaxPackets = 1000;
  // A camera that sends nothing for this long is connected anew.
  std::chrono::milliseconds Silence{10000};
  // The waits before connecting again after a lost session: doubling from the first to the last.
  std::chrono::milliseconds FirstBackoff{500};
  std::chrono::milliseconds LastBackoff{30000};
};

class TWarmState;
class TPictureMaker;

// A session kept open between ticks: its own thread reads the camera's packets and keeps those
// from the last keyframe on, decoding nothing; Picture decodes them when one is wanted. A lost
// session is connected anew with backoff. The destructor ends the thread at once (it waits for
// no camera).
class TWarmRtsp {
 public:
  // said, when given, hears on the reader's thread of a session lost ("...; connecting again",
  // lost true) once for each loss, and of the next one opened after it (lost false).
  using TSaid = std::function<void(const Text& line, bool lost)>;
  explicit TWarmRtsp(TAddress address, TWarmLimits limits = {}, TSaid said = {});
  ~TWarmRtsp();
  TWarmRtsp(const TWarmRtsp&) = delete;
  TWarmRtsp& operator=(const TWarmRtsp&) = delete;

  // The picture of the first frame that begins to arrive after this call (complete once the
  // next one begins), decoded from the keyframe before it, as a JPEG into jpeg. Blocks until then,
  // the deadline or a stop request; false then, failure saying why (the session's own trouble when
  // it has any). One caller at a time.
  bool Picture(TByteBuffer& jpeg, std::stop_token stop, std::chrono::milliseconds deadline,
               TMediaFailure& failure);

  // What the session holds now, for the tests and the benchmark: packets and their bytes.
  int32_t HeldPackets() const;
  int64_t HeldBytes() const;

 private:
  void Run(std::stop_token stop);

  const TAddress address_;
  const TWarmLimits limits_;
  const TSaid said_;
  std::unique_ptr<TWarmState> state_;
  // Picture's own: the decoder and the session it was opened for.
  std::unique_ptr<TPictureMaker> maker_;
  uint64_t maker_session_ = 0;
  std::jthread reader_;
};

}  // namespace tessaly
