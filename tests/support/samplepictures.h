// Small pictures built by their formats' rules, with the traps a marker check must not fall
// into: a JPEG whose metadata holds a thumbnail with an end-of-image marker of its own, a GIF
// whose data holds the trailer's byte.
#pragma once

#include <string>

namespace tessaly {

#define TESSALY_BYTES(literal) std::string(literal, sizeof(literal) - 1)

// SOI, APP1 holding a thumbnail (bytes 12 to 20), SOS, coded data with a stuffed FF and a
// restart marker, EOI. seed varies the coded data.
inline std::string SampleJpeg(char seed = 0x12) {
  return TESSALY_BYTES(
             "\xFF\xD8\xFF\xE1\x00\x11"
             "Exif\0\0\xFF\xD8small\xFF\xD9"
             "\xFF\xDA\x00\x08\x01\x01\x00\x00\x3F\x00") +
         seed + TESSALY_BYTES("\x34\xFF\x00\x56\xFF\xD0\x78\xFF\xD9");
}

// IHDR, IDAT and IEND chunks (CRCs are not read by the check).
inline std::string SamplePng() {
  return TESSALY_BYTES(
      "\x89PNG\r\n\x1A\n\0\0\0\x0DIHDR\1\1\1\1\1\1\1\1\1\1\1\1\1CRC!"
      "\0\0\0\x06IDATpixelsCRC!\0\0\0\0IENDCRC!");
}

// A global colour table of two entries, a graphic control extension, one image whose data
// sub-block holds 0x3B, the trailer.
inline std::string SampleGif() {
  return TESSALY_BYTES(
      "GIF89a\1\0\1\0\x80\0\0\x7F\x7F\x7F\x7F\x7F\x7F"
      "\x21\xF9\x04\0\0\0\0\0\x2C\0\0\0\0\1\0\1\0\0\x02\x02\x3B\x3B\0\x3B");
}

inline std::string SampleWebp() {
  return TESSALY_BYTES("RIFF\x12\0\0\0WEBPVP8L\x06\0\0\0pixels");
}

#undef TESSALY_BYTES

}  // namespace tessaly
