// An H.264 film in an MP4 file, frame by frame, through FFmpeg's libraries (libx264). The file
// is fragmented MP4: each fragment's index is written with it, so that neither the index nor
// the samples of a long film are held until its end.
#pragma once

#include <cstdint>
#include <deque>
#include <map>

#include "base/text.h"

struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVPacket;
struct AVStream;
struct SwsContext;

namespace tessaly {

struct TFilmSettings {
  int Fps = 30;
  // Frames carry their own times (Add's pts and duration in 1/kVariableRate s) instead of
  // one frame per 1/Fps s.
  bool Variable = false;
  int Crf = 23;
  Text Preset = "medium";
  // Frames x264 looks ahead, and its threads (0: one per core, at most 4); each costs a
  // frame's memory or more, so neither is left to x264 (40 frames, 1.5 threads per core).
  int Lookahead = 20;
  int Threads = 0;
};

class TFilmEncoder {
 public:
  static constexpr int kVariableRate = 90000;

  TFilmEncoder() = default;
  ~TFilmEncoder();
  TFilmEncoder(const TFilmEncoder&) = delete;
  TFilmEncoder& operator=(const TFilmEncoder&) = delete;

  // Opens path (made or emptied) as an MP4 of width x height (padded to even numbers) and the
  // pixel format of the first frame to come (format, an AVPixelFormat); false, error saying why.
  bool Open(const Text& path, int width, int height, int format, const TFilmSettings& settings,
            Text& error);
  // Encodes frame, scaled to the film's size when it has another, at pts (in frames, or in
  // 1/kVariableRate s when Variable); pts must grow. The frame before it lasts until pts.
  bool Add(const AVFrame* frame, int64_t pts, Text& error);
  // The rest of the encoder's frames, the last one lasting last_duration, and the file's end;
  // closes it.
  bool Finish(int64_t last_duration, Text& error);
  // Closes the file as it is, without its end.
  void Abandon();

 private:
  bool Drain(bool end, Text& error);
  // Writes the held packets whose durations are known, in their order.
  bool Write(Text& error);
  bool Canvas(Text& error);

  TFilmSettings settings_;
  int width_ = 0;  // the first frame's size
  int height_ = 0;
  AVFormatContext* format_ = nullptr;
  AVStream* stream_ = nullptr;
  AVCodecContext* codec_ = nullptr;
  SwsContext* scale_ = nullptr;
  AVFrame* canvas_ = nullptr;
  AVFrame* sent_ = nullptr;
  AVPacket* packet_ = nullptr;
  bool header_ = false;
  // The durations of the frames in the encoder, by pts (it hands their packets back
  // reordered); the last frame's is known only when the next comes.
  std::map<int64_t, int64_t> durations_;
  int64_t last_pts_ = -1;
  // Packets waiting for their durations: those of the last frame and any after it, a few.
  std::deque<AVPacket*> held_;
};

// The AVERROR code's text.
Text FfmpegError(int code);

}  // namespace tessaly
