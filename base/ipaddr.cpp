#include "base/ipaddr.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace tessaly {
namespace {

// The value of hexadecimal digits, or fallback.
int32_t HexDefault(const Text& digits, int32_t fallback) {
  Text prefixed(1, '$');  // appended rather than "$" + digits: GCC 12 misreports that at -O3
  prefixed += digits;
  return ParseIntDefault(prefixed, fallback);
}

bool IsHexGroup(const Text& group) {
  const int32_t value = HexDefault(group, -1);
  return value >= 0 && value <= 0xFFFF;
}

}  // namespace

bool IsOctetText(const Text& text) {
  const int32_t value = ParseIntDefault(text, -1);
  if (value < 0 || value > 255 || text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

bool IsIPv4Text(const Text& text) {
  Text copy = text;
  for (int i = 0; i < 3; ++i) {
    if (!IsOctetText(CutTrimmedToken(copy, "."))) return false;
  }
  return IsOctetText(copy);
}

bool IsIPv6Text(const Text& text) {
  if (text == "::") return true;
  int count = 0;
  int empties = 0;
  bool first = true;
  bool result = false;
  Text copy = text;
  while (!copy.empty()) {
    Text part = CutTrimmedToken(copy, ":");
    if (!first && part.empty()) ++empties;
    first = false;
    if (empties > 1) return false;
    ++count;
    if (part.empty()) continue;
    if (count > 8) return false;
    const bool last = copy.empty();
    if (last) {
      if (!IsHexGroup(TextAfter(part, "%"))) return false;
      part = TextBefore(part, "%");
    }
    if (!IsHexGroup(part)) return false;
    if (last && !(count == 1 && empties == 0)) result = true;
  }
  return result;
}

Text IPv4TextToBytes(const Text& text) {
  Text copy = text;
  Text bytes;
  for (int i = 0; i < 3; ++i) {
    bytes += static_cast<char>(ParseIntDefault(CutToken(copy, "."), 0) & 0xFF);
  }
  bytes += static_cast<char>(ParseIntDefault(copy, 0) & 0xFF);
  return bytes;
}

Text IPv6TextToBytes(const Text& text) {
  const Text address = TextBefore(text, "%");
  auto groups_of = [](const Text& half) {
    std::vector<uint16_t> groups;
    Text copy = half;
    while (!copy.empty()) {
      groups.push_back(static_cast<uint16_t>(HexDefault(CutToken(copy, ":"), 0)));
    }
    return groups;
  };
  std::vector<uint16_t> head;
  std::vector<uint16_t> tail;
  const int gap = Find("::", address);
  if (gap > 0) {
    head = groups_of(address.substr(0, static_cast<size_t>(gap - 1)));
    tail = groups_of(address.substr(static_cast<size_t>(gap + 1)));
  } else {
    head = groups_of(address);
  }
  std::vector<uint16_t> all(8, 0);
  // More than eight groups in all is no address; keep what fits rather than write past it.
  const size_t head_count = std::min<size_t>(head.size(), 8);
  const size_t tail_count = std::min<size_t>(tail.size(), 8 - head_count);
  for (size_t i = 0; i < head_count; ++i) all[i] = head[i];
  for (size_t i = 0; i < tail_count; ++i) {
    all[8 - tail_count + i] = tail[tail.size() - tail_count + i];
  }
  Text bytes;
  for (uint16_t group : all) {
    bytes += static_cast<char>(group >> 8);
    bytes += static_cast<char>(group & 0xFF);
  }
  return bytes;
}

Text IPv6BytesToText(const Text& bytes) {
  uint16_t groups[8] = {};
  for (size_t i = 0; i < 8 && 2 * i + 1 < bytes.size(); ++i) {
    groups[i] = static_cast<uint16_t>((static_cast<uint8_t>(bytes[2 * i]) << 8) |
                                      static_cast<uint8_t>(bytes[2 * i + 1]));
  }
  int best_start = -1;
  int best_length = 0;
  for (int i = 0; i < 8;) {
    if (groups[i] != 0) {
      ++i;
      continue;
    }
    int j = i;
    while (j < 8 && groups[j] == 0) ++j;
    if (j - i > best_length) {
      best_start = i;
      best_length = j - i;
    }
    i = j;
  }
  Text text;
  char group[8];
  for (int i = 0; i < 8; ++i) {
    if (i == best_start) {
      text += "::";
      i += best_length - 1;
      continue;
    }
    if (!text.empty() && text.back() != ':') text += ':';
    std::snprintf(group, sizeof group, "%x", groups[i]);
    text += group;
  }
  return text;
}

}  // namespace tessaly
