// Small pictures built by their formats' rules, with the traps a marker check must not fall
// into: a JPEG whose metadata holds a thumbnail with an end-of-image marker of its own, a GIF
// whose data holds the trailer's byte.
#pragma once

#include <cstdint>
#include <string>

namespace tessaly {

inline std::string Big16Text(size_t v) {
  return {static_cast<char>(v >> 8), static_cast<char>(v)};
}
inline std::string Big32Text(size_t v) {
  return Big16Text(v >> 16) + Big16Text(v & 0xFFFF);
}
inline std::string Little32Text(size_t v) {
  return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
          static_cast<char>(v >> 24)};
}

// SOI, APP1 holding a thumbnail, SOS, coded data with a stuffed FF and a restart marker, EOI.
// seed varies the coded data.
inline std::string SampleJpeg(char seed = 0x12) {
  const std::string thumbnail = std::string("\xFF\xD8", 2) + "small" + "\xFF\xD9";
  const std::string exif = std::string("Exif\0\0", 6) + thumbnail;
  const std::string sos = std::string("\xFF\xDA\x00\x08\x01\x01\x00\x00\x3F\x00", 10);
  const std::string coded = std::string(1, seed) + std::string("\x34\xFF\x00\x56\xFF\xD0\x78", 7);
  return "\xFF\xD8\xFF\xE1" + Big16Text(exif.size() + 2) + exif + sos + coded + "\xFF\xD9";
}

inline std::string PngChunk(const std::string& type, const std::string& data) {
  return Big32Text(data.size()) + type + data + "CRC!";  // the check reads no CRC
}
inline std::string SamplePng() {
  return "\x89PNG\r\n\x1A\n" + PngChunk("IHDR", std::string(13, '\x01')) +
         PngChunk("IDAT", "pixels") + PngChunk("IEND", "");
}

// A global colour table of two entries, a graphic control extension, one image whose data
// sub-block holds 0x3B, the trailer.
inline std::string SampleGif() {
  return std::string("GIF89a\x01\x00\x01\x00\x80\x00\x00", 13) + std::string(6, '\x7F') +
         std::string("\x21\xF9\x04\x00\x00\x00\x00\x00", 8) +
         std::string("\x2C\x00\x00\x00\x00\x01\x00\x01\x00\x00", 10) +
         std::string("\x02\x02\x3B\x3B\x00", 5) + "\x3B";
}

inline std::string SampleWebp() {
  const std::string chunk = "VP8L" + Little32Text(6) + "pixels";
  return "RIFF" + Little32Text(4 + chunk.size()) + "WEBP" + chunk;
}

}  // namespace tessaly
