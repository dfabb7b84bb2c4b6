#include "film/filmencoder.h"

#include <algorithm>
#include <cstring>
#include <thread>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace tessaly {

Text FfmpegError(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

namespace {

bool Failed(int code, const char* what, Text& error) {
  error = Text(what) + ": " + FfmpegError(code);
  return false;
}

}  // namespace

TFilmEncoder::~TFilmEncoder() {
  Abandon();
}

bool TFilmEncoder::Open(const Text& path, int width, int height, int format,
                        const TFilmSettings& settings, Text& error) {
  settings_ = settings;
  width_ = width;
  height_ = height;
  const AVCodec* x264 = avcodec_find_encoder_by_name("libx264");
  if (x264 == nullptr) return error = "FFmpeg has no libx264 encoder", false;
  int result = avformat_alloc_output_context2(&format_, nullptr, "mp4", nullptr);
  if (result < 0) return Failed(result, "cannot make an MP4", error);
  stream_ = avformat_new_stream(format_, nullptr);
  codec_ = avcodec_alloc_context3(x264);
  packet_ = av_packet_alloc();
  canvas_ = av_frame_alloc();
  sent_ = av_frame_alloc();
  if (!stream_ || !codec_ || !packet_ || !canvas_ || !sent_) return error = "out of memory", false;
  // H.264 in 4:2:0 wants even sides; the last row and column are repeated to get them. A JPEG's
  // full-range 4:2:0 is encoded as it is (as the ffmpeg program does), anything else as 4:2:0.
  codec_->width = width + (width & 1);
  codec_->height = height + (height & 1);
  codec_->pix_fmt = format == AV_PIX_FMT_YUVJ420P ? AV_PIX_FMT_YUVJ420P : AV_PIX_FMT_YUV420P;
  codec_->time_base =
      settings.Variable ? AVRational{1, kVariableRate} : AVRational{1, settings.Fps};
  codec_->framerate = {settings.Fps, 1};
  codec_->thread_count =
      settings.Threads > 0
          ? settings.Threads
          : static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 4u));
  // With frames of their own times, B-frames would give decode times taken from other frames'
  // times, and the MP4's last sample (by decode time) would end the film at the wrong moment.
  if (settings.Variable) codec_->max_b_frames = 0;
  if (format_->oformat->flags & AVFMT_GLOBALHEADER) codec_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  av_opt_set(codec_->priv_data, "preset", settings.Preset.c_str(), 0);
  av_opt_set_double(codec_->priv_data, "crf", settings.Crf, 0);
  av_opt_set_int(codec_->priv_data, "rc-lookahead", settings.Lookahead, 0);
  result = avcodec_open2(codec_, x264, nullptr);
  if (result < 0) return Failed(result, "cannot open the H.264 encoder", error);
  result = avcodec_parameters_from_context(stream_->codecpar, codec_);
  if (result < 0) return Failed(result, "cannot describe the film", error);
  stream_->time_base = codec_->time_base;
  stream_->avg_frame_rate = settings.Variable ? AVRational{0, 1} : codec_->framerate;
  result = avio_open(&format_->pb, path.c_str(), AVIO_FLAG_WRITE);
  if (result < 0) return Failed(result, ("cannot write " + path).c_str(), error);
  // Fragments of at most 4 MiB, each starting at a key frame when one comes sooner: the
  // muxer holds one fragment, never the film. The index waits for the first fragment, whose
  // times give the edit list that starts the film at its first frame, not after the
  // encoder's reordering delay.
  AVDictionary* options = nullptr;
  av_dict_set(&options, "movflags", "+frag_keyframe+delay_moov+default_base_moof", 0);
  av_dict_set(&options, "frag_size", "4194304", 0);
  result = avformat_write_header(format_, &options);
  av_dict_free(&options);
  if (result < 0) return Failed(result, "cannot begin the MP4", error);
  header_ = true;
  return true;
}

// A writable frame of the film's size for the scaler, unless the encoder still holds it.
bool TFilmEncoder::Canvas(Text& error) {
  if (canvas_->buf[0] != nullptr && av_frame_is_writable(canvas_)) return true;
  av_frame_unref(canvas_);
  canvas_->format = codec_->pix_fmt;
  canvas_->width = codec_->width;
  canvas_->height = codec_->height;
  const int result = av_frame_get_buffer(canvas_, 0);
  return result >= 0 || Failed(result, "out of memory for a frame", error);
}

bool TFilmEncoder::Add(const AVFrame* frame, int64_t pts, Text& error) {
  if (pts <= last_pts_) return error = "frames out of order", false;
  if (last_pts_ >= 0) durations_[last_pts_] = pts - last_pts_;
  last_pts_ = pts;
  av_frame_unref(sent_);
  if (frame->width == codec_->width && frame->height == codec_->height &&
      frame->format == codec_->pix_fmt) {
    // The decoder's own frame: no copy. The decoder makes itself a new one while this is held.
    const int result = av_frame_ref(sent_, frame);
    if (result < 0) return Failed(result, "cannot hold a frame", error);
  } else {
    if (!Canvas(error)) return false;
    scale_ = sws_getCachedContext(scale_, frame->width, frame->height,
                                  static_cast<AVPixelFormat>(frame->format), width_, height_,
                                  static_cast<AVPixelFormat>(codec_->pix_fmt), SWS_BICUBIC, nullptr,
                                  nullptr, nullptr);
    if (scale_ == nullptr) return error = "cannot scale a picture of this kind", false;
    sws_scale(scale_, frame->data, frame->linesize, 0, frame->height, canvas_->data,
              canvas_->linesize);
    // The padding: the last column and row again.
    uint8_t* luma = canvas_->data[0];
    const int stride = canvas_->linesize[0];
    if (width_ & 1)
      for (int y = 0; y < height_; ++y) luma[y * stride + width_] = luma[y * stride + width_ - 1];
    if (height_ & 1)
      std::memcpy(luma + height_ * stride, luma + (height_ - 1) * stride, codec_->width);
    const int result = av_frame_ref(sent_, canvas_);
    if (result < 0) return Failed(result, "cannot hold a frame", error);
  }
  sent_->pts = pts;
  sent_->pict_type = AV_PICTURE_TYPE_NONE;
  const int result = avcodec_send_frame(codec_, sent_);
  av_frame_unref(sent_);
  if (result < 0) return Failed(result, "cannot encode a frame", error);
  return Drain(false, error);
}

bool TFilmEncoder::Drain(bool end, Text& error) {
  for (;;) {
    int result = avcodec_receive_packet(codec_, packet_);
    if (result == AVERROR(EAGAIN) || (end && result == AVERROR_EOF)) return true;
    if (result < 0) return Failed(result, "cannot encode a frame", error);
    AVPacket* held = av_packet_clone(packet_);
    av_packet_unref(packet_);
    if (held == nullptr) return error = "out of memory for a packet", false;
    held_.push_back(held);
    if (!Write(error)) return false;
  }
}

bool TFilmEncoder::Write(Text& error) {
  while (!held_.empty()) {
    AVPacket* packet = held_.front();
    const auto duration = durations_.find(packet->pts);
    if (duration == durations_.end()) return true;
    held_.pop_front();
    packet->duration = duration->second;
    durations_.erase(duration);
    av_packet_rescale_ts(packet, codec_->time_base, stream_->time_base);
    packet->stream_index = stream_->index;
    const int result = av_interleaved_write_frame(format_, packet);
    av_packet_free(&packet);
    if (result < 0) return Failed(result, "cannot write the film", error);
  }
  return true;
}

bool TFilmEncoder::Finish(int64_t last_duration, Text& error) {
  if (!header_) return error = "the film was not begun", false;
  if (last_pts_ >= 0) durations_[last_pts_] = last_duration;
  int result = avcodec_send_frame(codec_, nullptr);
  if (result < 0) return Failed(result, "cannot end the encoding", error);
  if (!Drain(true, error) || !Write(error)) return false;
  if (!held_.empty()) return error = "the encoder gave a frame it was not given", false;
  result = av_write_trailer(format_);
  header_ = false;
  if (result < 0) return Failed(result, "cannot end the film", error);
  result = avio_closep(&format_->pb);
  if (result < 0) return Failed(result, "cannot write the film", error);
  return true;
}

void TFilmEncoder::Abandon() {
  if (format_ != nullptr) {
    avio_closep(&format_->pb);
    avformat_free_context(format_);
    format_ = nullptr;
  }
  header_ = false;
  avcodec_free_context(&codec_);
  sws_freeContext(scale_);
  scale_ = nullptr;
  av_frame_free(&canvas_);
  av_frame_free(&sent_);
  av_packet_free(&packet_);
  durations_.clear();
  for (AVPacket* packet : held_) av_packet_free(&packet);
  held_.clear();
  last_pts_ = -1;
}

}  // namespace tessaly
