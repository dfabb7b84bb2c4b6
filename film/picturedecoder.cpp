#include "film/picturedecoder.h"

#include <cstdint>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
}

namespace tessaly {

int PictureCodec(const uint8_t* data, size_t size) {
  auto starts = [&](const char* magic, size_t at = 0) {
    const size_t length = std::strlen(magic);
    return size >= at + length && std::memcmp(data + at, magic, length) == 0;
  };
  if (starts("\xFF\xD8\xFF")) return AV_CODEC_ID_MJPEG;
  if (starts("\x89PNG\r\n\x1A\n")) return AV_CODEC_ID_PNG;
  if (starts("GIF87a") || starts("GIF89a")) return AV_CODEC_ID_GIF;
  if (starts("RIFF") && starts("WEBP", 8)) return AV_CODEC_ID_WEBP;
  return AV_CODEC_ID_NONE;
}

TPictureDecoder::TPictureDecoder() : packet_(av_packet_alloc()), frame_(av_frame_alloc()) {}

TPictureDecoder::~TPictureDecoder() {
  avcodec_free_context(&context_);
  av_packet_free(&packet_);
  av_frame_free(&frame_);
}

const size_t TPictureDecoder::kPadding = AV_INPUT_BUFFER_PADDING_SIZE;

TPictureDecoder::TResult TPictureDecoder::Decode(const uint8_t* data, size_t size, Text& error) {
  error.clear();
  av_frame_unref(frame_);
  const int codec = PictureCodec(data, size);
  if (codec == AV_CODEC_ID_NONE) return TResult::NotPicture;
  if (packet_ == nullptr || frame_ == nullptr) return error = "out of memory", TResult::Unreadable;
  // A decoder per kind, kept while the kinds do not change: a season of JPEGs opens one. Its
  // state is flushed between pictures, each of which stands alone.
  if (context_ == nullptr || codec_ != codec) {
    avcodec_free_context(&context_);
    const AVCodec* decoder = avcodec_find_decoder(static_cast<AVCodecID>(codec));
    context_ = decoder ? avcodec_alloc_context3(decoder) : nullptr;
    if (context_ == nullptr) return error = "no decoder for it", TResult::Unreadable;
    // One thread: a picture at a time, no frames held by threads waiting for more.
    context_->thread_count = 1;
    // A few bytes may declare a vast picture: none larger than 8192 x 8192 is decoded.
    context_->max_pixels = int64_t{8192} * 8192;
    if (avcodec_open2(context_, decoder, nullptr) < 0) {
      avcodec_free_context(&context_);
      return error = "the decoder does not open", TResult::Unreadable;
    }
    codec_ = codec;
  } else {
    avcodec_flush_buffers(context_);
  }
  // The packet borrows the bytes, padding and all.
  if (size > static_cast<size_t>(INT32_MAX) - kPadding)
    return error = "too large", TResult::Unreadable;
  av_packet_unref(packet_);
  packet_->data = const_cast<uint8_t*>(data);
  packet_->size = static_cast<int>(size);
  int result = avcodec_send_packet(context_, packet_);
  if (result >= 0) {
    result = avcodec_receive_frame(context_, frame_);
    // A decoder that holds the picture back gives it at the end of its input.
    if (result == AVERROR(EAGAIN) && avcodec_send_packet(context_, nullptr) >= 0)
      result = avcodec_receive_frame(context_, frame_);
  }
  packet_->data = nullptr;
  packet_->size = 0;
  if (result < 0 || frame_->width <= 0 || frame_->height <= 0) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(result, text, sizeof text);
    error = result < 0 ? Text(text) : Text("no picture in it");
    // A decoder that was sent its end must start afresh.
    avcodec_free_context(&context_);
    return TResult::Unreadable;
  }
  return TResult::Decoded;
}

}  // namespace tessaly
