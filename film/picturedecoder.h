// One picture file's bytes into one decoded frame, by FFmpeg's decoders (JPEG, PNG, GIF, WebP).
// One frame at a time: the next Decode reuses what the last one held.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/text.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace tessaly {

class TPictureDecoder {
 public:
  enum class TResult { Decoded, NotPicture, Unreadable };

  TPictureDecoder();
  ~TPictureDecoder();
  TPictureDecoder(const TPictureDecoder&) = delete;
  TPictureDecoder& operator=(const TPictureDecoder&) = delete;

  // Decodes the size bytes at data (the whole file), which must be followed by kPadding zero
  // bytes (FFmpeg's parsers read a little past the end). Decoded: Frame() holds the picture until
  // the next call. NotPicture: none of the kinds above by its first bytes. Unreadable: one of them,
  // broken.
  TResult Decode(const uint8_t* data, size_t size, Text& error);
  static const size_t kPadding;
  const AVFrame* Frame() const { return frame_; }

 private:
  AVCodecContext* context_ = nullptr;
  int codec_ = 0;  // the AVCodecID the context decodes
  AVPacket* packet_ = nullptr;
  AVFrame* frame_ = nullptr;
};

// The AVCodecID of a picture by its first bytes, 0 when it is none of the kinds decoded.
int PictureCodec(const uint8_t* data, size_t size);

}  // namespace tessaly
