// Small helpers for tests that compare bytes on the wire.
#pragma once

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>

namespace tessaly {

// The bytes of the given values (each 0..255).
inline std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out.push_back(static_cast<char>(v));
  return out;
}

// Two bytes, high byte first: how ports travel in proxy protocols.
inline std::string PortBytes(int port) {
  return Bytes({(port >> 8) & 0xFF, port & 0xFF});
}

// "05 01 00 |abc|" style dump for assertion messages.
inline std::string Hex(const std::string& bytes) {
  std::string out;
  std::string printable;
  char buf[4];
  for (unsigned char c : bytes) {
    std::snprintf(buf, sizeof(buf), "%02x ", c);
    out += buf;
    printable.push_back(c >= 32 && c < 127 ? static_cast<char>(c) : '.');
  }
  return out + "|" + printable + "|";
}

}  // namespace tessaly
