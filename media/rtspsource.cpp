#include "media/rtspsource.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}

#include <atomic>
#include <climits>
#include <cstring>
#include <deque>
#include <mutex>
#include <utility>
#include <vector>

namespace tessaly {
namespace {

using TClock = std::chrono::steady_clock;

constexpr char kDamaged[] = "damaged picture in the stream";

// The libraries print nothing of their own: every line on the terminal goes through the
// program's escaping writers, and theirs may carry an address.
void PrepareLibraries() {
  static std::once_flag once;
  std::call_once(once, [] {
    av_log_set_level(AV_LOG_QUIET);
    avformat_network_init();
  });
}

struct TFormatClose {
  void operator()(AVFormatContext* format) const { avformat_close_input(&format); }
};
struct TCodecFree {
  void operator()(AVCodecContext* codec) const { avcodec_free_context(&codec); }
};
struct TPacketFree {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct TFrameFree {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct TParamsFree {
  void operator()(AVCodecParameters* params) const { avcodec_parameters_free(&params); }
};
struct TSwsFree {
  void operator()(SwsContext* sws) const { sws_freeContext(sws); }
};
using TFormat = std::unique_ptr<AVFormatContext, TFormatClose>;
using TCodec = std::unique_ptr<AVCodecContext, TCodecFree>;
using TPacket = std::unique_ptr<AVPacket, TPacketFree>;
using TFrame = std::unique_ptr<AVFrame, TFrameFree>;
using TParams = std::unique_ptr<AVCodecParameters, TParamsFree>;

Text Seconds(std::chrono::milliseconds ms) {
  return IntToText(static_cast<int32_t>((ms.count() + 999) / 1000)) + " s";
}

Text AvText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

// A copy of its own, not a reference: the reader frees its packets while a tick decodes, and a
// buffer shared between the two threads would rest on libavutil's reference counts alone.
TPacket CopyPacket(const AVPacket& packet) {
  TPacket copy(av_packet_alloc());
  if (!copy || av_new_packet(copy.get(), packet.size) < 0 ||
      av_packet_copy_props(copy.get(), &packet) < 0)
    return nullptr;
  memcpy(copy->data, packet.data, static_cast<size_t>(packet.size));
  return copy;
}

// Every blocking call of libavformat asks this between its waits (at least every 100 ms): a
// stop request, the deadline, the owner's end or a silent camera ends the call.
struct TInterrupt {
  std::stop_token Stop;
  TClock::time_point Deadline = TClock::time_point::max();
  // Read by the callback on the reading thread: a kept session's silence bound.
  TClock::time_point SilentAfter = TClock::time_point::max();
  bool DeadlinePassed = false;
  bool Silent = false;

  static int Callback(void* opaque) {
    auto& self = *static_cast<TInterrupt*>(opaque);
    if (self.Stop.stop_requested()) return 1;
    const auto now = TClock::now();
    if (now >= self.Deadline) return self.DeadlinePassed = true, 1;
    if (now >= self.SilentAfter) return self.Silent = true, 1;
    return 0;
  }
};

// The failure of opening a session in the user's words.
Text OpenFailureText(int code, const TInterrupt& interrupt, std::chrono::milliseconds deadline) {
  if (code == AVERROR_EXIT && interrupt.DeadlinePassed)
    return "no answer from the camera within " + Seconds(deadline);
  if (code == AVERROR_HTTP_UNAUTHORIZED)
    return "authorization failed (401): the camera refused the user and password";
  if (code == AVERROR_HTTP_FORBIDDEN) return "the camera forbids this stream (403)";
  if (code == AVERROR_HTTP_NOT_FOUND) return "the camera has no such stream (404)";
  // The only transport asked for is TCP; libavformat answers 461 so.
  if (code == AVERROR(EPROTONOSUPPORT))
    return "the camera refuses RTSP over TCP (461 Unsupported transport): it streams over UDP "
           "only";
  if (code == AVERROR_STREAM_NOT_FOUND) return "no video stream";
  if (code == AVERROR_EOF) return "the stream ended";
  return "cannot open the stream: " + AvText(code);
}

// The failure of reading a session that was open.
Text ReadFailureText(int code, const TInterrupt& interrupt, std::chrono::milliseconds deadline,
                     bool keyframe_seen) {
  if (code == AVERROR_EXIT && interrupt.DeadlinePassed)
    return keyframe_seen ? "no whole picture within " + Seconds(deadline)
                         : "no keyframe within " + Seconds(deadline);
  if (code == AVERROR_EXIT && interrupt.Silent) return "the camera went silent";
  if (code == AVERROR_EOF) return "the stream ended";
  return "the stream broke: " + AvText(code);
}

// An RTSP session over TCP; stream is the video stream's index. The interrupt outlives format.
int OpenSession(const TAddress& address, TInterrupt& interrupt, TFormat& format, int& stream) {
  PrepareLibraries();
  AVFormatContext* raw = avformat_alloc_context();
  if (raw == nullptr) return AVERROR(ENOMEM);
  raw->interrupt_callback = {&TInterrupt::Callback, &interrupt};
  AVDictionary* options = nullptr;
  av_dict_set(&options, "rtsp_transport", "tcp", 0);
  av_dict_set(&options, "allowed_media_types", "video", 0);
  const int code =
      avformat_open_input(&raw, address.Given.c_str(), av_find_input_format("rtsp"), &options);
  av_dict_free(&options);
  if (code < 0) return code;  // raw is freed then
  format.reset(raw);
  // Without a probe of the stream: that would wait for packets, and the packets the camera's
  // description does not tell come with the keyframe anyway.
  stream = av_find_best_stream(raw, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  return stream < 0 ? stream : 0;
}

}  // namespace

// A decoder of one stream and the JPEG encoder behind it.
class TPictureMaker {
 public:
  // "" or why the stream cannot be decoded.
  Text Open(const AVCodecParameters& params) {
    codec_.reset();
    const AVCodec* decoder = avcodec_find_decoder(params.codec_id);
    if (decoder == nullptr)
      return Text("codec ") + avcodec_get_name(params.codec_id) +
             " cannot be decoded by this libavcodec";
    codec_.reset(avcodec_alloc_context3(decoder));
    if (!codec_ || avcodec_parameters_to_context(codec_.get(), &params) < 0)
      return codec_.reset(), "out of memory for the decoder";
    // One thread: a picture is wanted now and then, and frame threads would only hold frames
    // back and cost a thread per camera.
    codec_->thread_count = 1;
    if (const int code = avcodec_open2(codec_.get(), decoder, nullptr); code < 0)
      return codec_.reset(), Text("cannot open the ") + decoder->name + " decoder: " + AvText(code);
    return Text();
  }

  // Decodes packet (nullptr drains); the newest whole frame goes to last. False, why set, on a
  // packet the decoder refuses or a frame it had to mend.
  bool Decode(const AVPacket* packet, TFrame& last, Text& why) {
    int code = avcodec_send_packet(codec_.get(), packet);
    if (code < 0 && code != AVERROR_EOF) return why = "undecodable packet: " + AvText(code), false;
    for (;;) {
      if (!frame_) frame_.reset(av_frame_alloc());
      if (!frame_) return why = "out of memory for a frame", false;
      code = avcodec_receive_frame(codec_.get(), frame_.get());
      if (code == AVERROR(EAGAIN) || code == AVERROR_EOF) return true;
      if (code < 0) return why = "undecodable packet: " + AvText(code), false;
      if (frame_->decode_error_flags != 0 || (frame_->flags & AV_FRAME_FLAG_CORRUPT) != 0)
        return why = kDamaged, false;
      last = std::move(frame_);
    }
  }

  // Decodes packets [begin, end) of one time stamp as one packet: a camera's frame of several
  // slices may come as several packets (each with its parameter sets, which makes the
  // demultiplexer's parser cut there), and the decoder would show the first slices alone.
  bool DecodeJoined(const std::vector<TPacket>& packets, size_t begin, size_t end, TFrame& last,
                    Text& why) {
    if (end - begin == 1) return Decode(packets[begin].get(), last, why);
    int64_t size = 0;
    for (size_t i = begin; i < end; ++i) size += packets[i]->size;
    TPacket joined(av_packet_alloc());
    if (!joined || size > INT32_MAX - AV_INPUT_BUFFER_PADDING_SIZE ||
        av_new_packet(joined.get(), static_cast<int>(size)) < 0)
      return why = "out of memory for a packet", false;
    av_packet_copy_props(joined.get(), packets[begin].get());
    uint8_t* at = joined->data;
    for (size_t i = begin; i < end; ++i) {
      memcpy(at, packets[i]->data, static_cast<size_t>(packets[i]->size));
      at += packets[i]->size;
      joined->flags |= packets[i]->flags & AV_PKT_FLAG_KEY;
    }
    return Decode(joined.get(), last, why);
  }

  // Decodes packets in groups of one time stamp, then drains the decoder into last.
  bool DecodeAll(const std::vector<TPacket>& packets, TFrame& last, Text& why) {
    for (size_t begin = 0; begin < packets.size();) {
      size_t end = begin + 1;
      while (end < packets.size() && packets[end]->pts == packets[begin]->pts) ++end;
      if (!DecodeJoined(packets, begin, end, last, why)) return false;
      begin = end;
    }
    return Decode(nullptr, last, why);
  }

  bool IsOpen() const { return codec_ != nullptr; }

  // Forgets what was decoded; the next packet must be a keyframe.
  void Reset() {
    if (codec_) avcodec_flush_buffers(codec_.get());
  }

  bool Encode(const AVFrame& frame, TByteBuffer& jpeg, Text& why) {
    const AVCodec* encoder = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
    if (encoder == nullptr) return why = "this libavcodec has no JPEG encoder", false;
    TCodec codec(avcodec_alloc_context3(encoder));
    TFrame full(av_frame_alloc());
    TPacket packet(av_packet_alloc());
    if (!codec || !full || !packet) return why = "out of memory for the JPEG", false;
    codec->width = frame.width;
    codec->height = frame.height;
    codec->pix_fmt = AV_PIX_FMT_YUVJ420P;  // full range, as JPEG files are read
    codec->time_base = {1, 25};
    codec->flags |= AV_CODEC_FLAG_QSCALE;
    codec->global_quality = FF_QP2LAMBDA * 3;
    if (const int code = avcodec_open2(codec.get(), encoder, nullptr); code < 0)
      return why = "cannot open the JPEG encoder: " + AvText(code), false;
    full->format = AV_PIX_FMT_YUVJ420P;
    full->width = frame.width;
    full->height = frame.height;
    if (av_frame_get_buffer(full.get(), 0) < 0) return why = "out of memory for the JPEG", false;
    scale_.reset(sws_getCachedContext(
        scale_.release(), frame.width, frame.height, static_cast<AVPixelFormat>(frame.format),
        frame.width, frame.height, AV_PIX_FMT_YUVJ420P, SWS_BILINEAR, nullptr, nullptr, nullptr));
    if (!scale_) return why = "cannot convert the stream's pictures", false;
    sws_scale(scale_.get(), frame.data, frame.linesize, 0, frame.height, full->data,
              full->linesize);
    full->quality = codec->global_quality;
    full->pts = 0;
    int code = avcodec_send_frame(codec.get(), full.get());
    if (code >= 0) code = avcodec_receive_packet(codec.get(), packet.get());
    if (code < 0) return why = "cannot encode the JPEG: " + AvText(code), false;
    jpeg.Clear();
    jpeg.Write(packet->data, static_cast<size_t>(packet->size));
    jpeg.SetPosition(0);
    return true;
  }

 private:
  TCodec codec_;
  TFrame frame_;
  std::unique_ptr<SwsContext, TSwsFree> scale_;
};

bool IsRtspAddress(const TAddress& address) {
  return LowerAscii(address.Parts.scheme) == "rtsp";
}

bool GrabRtspPicture(const TAddress& address, TByteBuffer& jpeg, std::stop_token stop,
                     std::chrono::milliseconds deadline, TMediaFailure& failure) {
  failure = {};
  TInterrupt interrupt{stop, TClock::now() + deadline};
  TFormat format;
  int stream = -1;
  const auto failed = [&](Text why) {
    if (stop.stop_requested()) return false;
    failure.Reason = std::move(why);
    failure.TimedOut = interrupt.DeadlinePassed;
    return false;
  };
  if (const int code = OpenSession(address, interrupt, format, stream); code < 0)
    return failed(OpenFailureText(code, interrupt, deadline));
  TPictureMaker maker;
  if (Text why = maker.Open(*format->streams[stream]->codecpar); !why.empty())
    return failed(std::move(why));
  // The packets of one time stamp from the first keyframe on, decoded together once the next
  // time stamp shows they are complete.
  std::vector<TPacket> pending;
  TFrame picture;
  while (!picture) {
    TPacket packet(av_packet_alloc());
    if (!packet) return failed("out of memory for a packet");
    const int code = av_read_frame(format.get(), packet.get());
    if (code < 0) return failed(ReadFailureText(code, interrupt, deadline, !pending.empty()));
    if (packet->stream_index != stream) continue;
    // What came before the first keyframe would decode to grey or smeared pictures.
    if (pending.empty() && (packet->flags & AV_PKT_FLAG_KEY) == 0) continue;
    Text why;
    if (!pending.empty() && pending.back()->pts != packet->pts) {
      // A damaged picture is never stored: the next keyframe may give a whole one in time.
      if (!maker.DecodeJoined(pending, 0, pending.size(), picture, why)) {
        maker.Reset();
        picture.reset();
        pending.clear();
        if ((packet->flags & AV_PKT_FLAG_KEY) == 0) continue;
      } else {
        pending.clear();
      }
    }
    if (static_cast<int64_t>(pending.size()) >= TWarmLimits{}.MaxPackets)
      return failed("no whole picture within " + IntToText(TWarmLimits{}.MaxPackets) + " packets");
    pending.push_back(std::move(packet));
  }
  Text why;
  if (!maker.Encode(*picture, jpeg, why)) return failed(std::move(why));
  return true;
}

// What the reading thread and the picture's caller share.
class TWarmState {
 public:
  std::mutex Mutex;
  std::condition_variable_any Arrived;
  // The packets from the last keyframe on; empty while waiting for one.
  std::deque<TPacket> Held;
  int64_t HeldBytes = 0;
  uint64_t Received = 0;  // number of the newest packet of the stream read
  // A frame's packets (one time stamp) are complete once a packet of another follows: the
  // first Complete held packets are, the last of those frames began with packet number
  // CompleteNumber. Newest: the number of the first packet of the newest frame held.
  size_t Complete = 0;
  uint64_t CompleteNumber = 0;
  uint64_t Newest = 0;
  // The open session's stream and its number: the decoder is opened anew for each session.
  TParams Params;
  uint64_t Session = 0;
  // Why the last session was lost, while no new one is open ("" while one is or before the
  // first), and how many were lost.
  Text Trouble;
  uint64_t Losses = 0;
  uint64_t Keyframes = 0;  // keyframes that began the held packets
  bool Open = false;       // a session is open now

  void Drop() {
    Held.clear();
    HeldBytes = 0;
    Complete = 0;
    CompleteNumber = 0;
  }
};

TWarmRtsp::TWarmRtsp(TAddress address, TWarmLimits limits, TSaid said)
    : address_(std::move(address)),
      limits_(limits),
      said_(std::move(said)),
      state_(std::make_unique<TWarmState>()),
      maker_(std::make_unique<TPictureMaker>()),
      reader_([this](std::stop_token stop) { Run(stop); }) {}

TWarmRtsp::~TWarmRtsp() {
  reader_.request_stop();  // wakes the backoff wait; every blocking call asks the interrupt
  if (reader_.joinable()) reader_.join();
}

int32_t TWarmRtsp::HeldPackets() const {
  std::lock_guard lock(state_->Mutex);
  return static_cast<int32_t>(state_->Held.size());
}

int64_t TWarmRtsp::HeldBytes() const {
  std::lock_guard lock(state_->Mutex);
  return state_->HeldBytes;
}

void TWarmRtsp::Run(std::stop_token stop) {
  TWarmState& state = *state_;
  auto backoff = limits_.FirstBackoff;
  // A loss was told and no session has opened since: the failed reconnections say nothing more.
  bool lost_told = false;
  while (!stop.stop_requested()) {
    TInterrupt interrupt{stop, TClock::now() + kRtspDeadline};
    TFormat format;
    int stream = -1;
    int code = OpenSession(address_, interrupt, format, stream);
    const bool opened = code >= 0;
    Text trouble;
    if (code < 0) {
      trouble = OpenFailureText(code, interrupt, kRtspDeadline);
    } else {
      interrupt.Deadline = TClock::time_point::max();
      interrupt.SilentAfter = TClock::now() + limits_.Silence;
      {
        std::lock_guard lock(state.Mutex);
        state.Params.reset(avcodec_parameters_alloc());
        if (state.Params)
          avcodec_parameters_copy(state.Params.get(), format->streams[stream]->codecpar);
        state.Trouble.clear();
        ++state.Session;
        state.Open = true;
        state.Drop();
      }
      if (lost_told && said_) said_("session open again", false);
      lost_told = false;
      for (;;) {
        TPacket packet(av_packet_alloc());
        if (!packet) {
          code = AVERROR(ENOMEM);
          break;
        }
        code = av_read_frame(format.get(), packet.get());
        if (code < 0) break;
        if (packet->stream_index != stream) continue;
        interrupt.SilentAfter = TClock::now() + limits_.Silence;
        const bool key = (packet->flags & AV_PKT_FLAG_KEY) != 0;
        std::lock_guard lock(state.Mutex);
        ++state.Received;
        // A keyframe of several slices may come as several packets of one time stamp: only the
        // first of them begins anew.
        if (key && (state.Held.empty() || state.Held.back()->pts != packet->pts)) {
          state.Drop();
          ++state.Keyframes;
          backoff = limits_.FirstBackoff;  // a session that gives pictures is a good one
        }
        // Nothing before the first keyframe is worth keeping; past the bounds, nothing is
        // until the next one (a camera that sends them rarely or never stays bounded).
        if (!key && state.Held.empty()) continue;
        if (static_cast<int32_t>(state.Held.size()) >= limits_.MaxPackets ||
            state.HeldBytes + packet->size > limits_.MaxBytes) {
          state.Drop();
          continue;
        }
        if (!state.Held.empty() && state.Held.back()->pts != packet->pts) {
          state.Complete = state.Held.size();
          state.CompleteNumber = state.Newest;
          state.Arrived.notify_all();
        }
        if (state.Held.empty() || state.Held.back()->pts != packet->pts)
          state.Newest = state.Received;
        state.HeldBytes += packet->size;
        state.Held.push_back(std::move(packet));
      }
      trouble = ReadFailureText(code, interrupt, kRtspDeadline, true);
    }
    if (stop.stop_requested()) break;
    // Said once for a session that was open; connections that fail after it say nothing more,
    // and a camera that never answered fails its ticks.
    if (opened && said_) said_("session lost: " + trouble + "; connecting again", true);
    lost_told = lost_told || opened;
    std::unique_lock lock(state.Mutex);
    state.Trouble = trouble + "; connecting again";
    ++state.Losses;
    state.Open = false;
    state.Drop();
    state.Arrived.notify_all();
    state.Arrived.wait_for(lock, stop, backoff, [] { return false; });
    backoff = std::min(backoff * 2, limits_.LastBackoff);
  }
}

bool TWarmRtsp::Picture(TByteBuffer& jpeg, std::stop_token stop, std::chrono::milliseconds deadline,
                        TMediaFailure& failure) {
  failure = {};
  TWarmState& state = *state_;
  const auto until = TClock::now() + deadline;
  uint64_t mark = 0, losses = 0, keyframes = 0;
  for (bool first = true;; first = false) {
    std::vector<TPacket> packets;
    TParams params;
    uint64_t session = 0;
    {
      std::unique_lock lock(state.Mutex);
      if (first) {
        mark = state.Received;
        losses = state.Losses;
      }
      // The first frame that begins after the call; after a damaged picture, the first of the
      // next keyframe.
      const auto ready = [&] {
        return state.Losses != losses ||
               (state.Complete > 0 &&
                (first ? state.CompleteNumber > mark : state.Keyframes > keyframes));
      };
      // A session that is down fails the tick at once, as a camera that refuses a connection.
      const bool fresh = state.Trouble.empty() &&
                         state.Arrived.wait_until(lock, stop, until, ready) &&
                         state.Losses == losses;
      if (stop.stop_requested()) return false;
      if (!fresh) {
        failure.TimedOut = state.Trouble.empty();
        failure.Reason = !state.Trouble.empty() ? state.Trouble
                         : !first               ? "no whole picture within " + Seconds(deadline)
                         : !state.Open ? "no answer from the camera within " + Seconds(deadline)
                         : state.Received > mark
                             ? "no keyframe within " + Seconds(deadline)
                             : "no packet from the camera within " + Seconds(deadline);
        return false;
      }
      for (size_t i = 0; i < state.Complete; ++i) {
        packets.push_back(CopyPacket(*state.Held[i]));
        if (!packets.back()) return failure.Reason = "out of memory for a packet", false;
      }
      keyframes = state.Keyframes;
      session = state.Session;
      if (session != maker_session_ || !maker_->IsOpen()) {
        params.reset(avcodec_parameters_alloc());
        if (!params || !state.Params ||
            avcodec_parameters_copy(params.get(), state.Params.get()) < 0)
          return failure.Reason = "out of memory for the decoder", false;
      }
    }
    // The decoder is the caller's alone (one caller at a time), kept from tick to tick (opening
    // one and its converter costs a tick some 15 ms); the reader goes on meanwhile.
    TPictureMaker& maker = *maker_;
    if (params) {
      maker_session_ = session;
      if (Text why = maker.Open(*params); !why.empty()) return failure.Reason = why, false;
    }
    TFrame picture;
    Text why;
    bool ok = maker.DecodeAll(packets, picture, why);
    maker.Reset();
    // A keyframe joined halfway (its first slices came before the session began) decodes
    // damaged: the next keyframe gives a whole picture.
    if (!ok && why == kDamaged) continue;
    if (ok && !picture) ok = false, why = "no picture decoded from the keyframe on";
    if (ok) ok = maker.Encode(*picture, jpeg, why);
    if (!ok) failure.Reason = why;
    return ok;
  }
}

}  // namespace tessaly
