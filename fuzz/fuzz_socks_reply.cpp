// SOCKS replies from a server: SocksDecodeAddress on arbitrary bytes, and SocksGreeting plus
// SocksReadReply reading a server's bytes sent in chosen pieces over a socket pair and then
// closed. Results, reply code, host and port must be those of an independent reading of the
// reply formats, and a short reply must end the read at the close, not at a time-out.
//
// Input: flags byte (1 SOCKS4, 2 decode the bytes directly, 4 SOCKS5 greeting first, 8 offer
// user and password); piece plan (see fuzzsupport.h); the server's bytes.
#include <arpa/inet.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "fuzz/fuzzsupport.h"
#include "net/tcpsocket.h"

namespace {

constexpr char kTarget[] = "socks_reply";
constexpr int kTimeout = 10000;  // never reached: the peer always closes

using tessaly::Text;

uint8_t At(const Text& bytes, size_t i) { return static_cast<uint8_t>(bytes[i]); }

Text Dotted(const Text& bytes, size_t i) {
  char text[20];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", At(bytes, i), At(bytes, i + 1), At(bytes, i + 2),
                At(bytes, i + 3));
  return text;
}

Text Port(const Text& bytes, size_t i) { return std::to_string(At(bytes, i) * 256 + At(bytes, i + 1)); }

struct TDecoded {
  Text host;
  Text port = "0";
  Text v6_bytes;  // for an IPv6 answer the host is compared through the system's reading
};

TDecoded Decode(const Text& reply, bool socks4) {
  TDecoded out;
  const size_t n = reply.size();
  if (socks4) {
    if (n >= 8) {
      out.port = Port(reply, 2);
      out.host = Dotted(reply, 4);
    }
    return out;
  }
  if (n < 4) return out;
  switch (At(reply, 3)) {
    case 1:
      if (n >= 10) {
        out.host = Dotted(reply, 4);
        out.port = Port(reply, 8);
      }
      break;
    case 3:
      if (n >= 5 && n >= static_cast<size_t>(At(reply, 4)) + 7) {
        out.host = reply.substr(5, At(reply, 4));
        out.port = Port(reply, 5 + At(reply, 4));
      }
      break;
    case 4:
      if (n >= 22) {
        out.v6_bytes = reply.substr(4, 16);
        out.port = Port(reply, 20);
      }
      break;
    default:
      break;
  }
  return out;
}

void CheckDecoded(const tessaly::TSocksBlockSocket& sock, const TDecoded& want, const Text& shown) {
  using tessaly::fuzz::Escaped;
  FUZZ_CHECK(sock.SocksReplyPort() == want.port, "port " + Escaped(sock.SocksReplyPort()) + shown);
  if (want.v6_bytes.empty()) {
    FUZZ_CHECK(sock.SocksReplyHost() == want.host, "host " + Escaped(sock.SocksReplyHost()) + shown);
  } else {
    in6_addr system{};
    FUZZ_CHECK(inet_pton(AF_INET6, sock.SocksReplyHost().c_str(), &system) == 1 &&
                   Text(reinterpret_cast<const char*>(&system), 16) == want.v6_bytes,
               "IPv6 host " + Escaped(sock.SocksReplyHost()) + shown);
  }
}

// What reading the greeting answer and the reply from `stream` must give.
struct TExchange {
  bool greeted = true;
  bool result = false;
  int code = -1;
  TDecoded decoded;
};

TExchange Expected(const Text& stream, bool socks4, bool greet) {
  TExchange out;
  size_t pos = 0;
  auto take = [&](size_t count, Text& bytes) {
    if (stream.size() - pos < count) return false;
    bytes = stream.substr(pos, count);
    pos += count;
    return true;
  };
  Text bytes;
  if (greet && !socks4) {
    out.greeted = false;
    if (!take(2, bytes) || At(bytes, 0) != 5) return out;
    if (At(bytes, 1) == 2) {
      if (!take(2, bytes) || At(bytes, 1) != 0) return out;
    } else if (At(bytes, 1) != 0) {
      return out;
    }
    out.greeted = true;
  }
  Text reply;
  if (socks4) {
    if (!take(8, reply) || At(reply, 0) != 0) return out;
  } else {
    if (!take(4, reply) || At(reply, 0) != 5) return out;
    size_t address = 0;
    switch (At(reply, 3)) {
      case 1: address = 4; break;
      case 4: address = 16; break;
      case 3:
        if (!take(1, bytes)) return out;
        reply += bytes;
        address = At(bytes, 0);
        break;
      default: return out;
    }
    if (!take(address, bytes)) return out;
    reply += bytes;
    if (!take(2, bytes)) return out;
    reply += bytes;
  }
  out.code = At(reply, 1);
  if (out.code != 0 && out.code != 90) return out;
  out.result = true;
  out.decoded = Decode(reply, socks4);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tessaly;
  using fuzz::Escaped;
  fuzz::IgnoreSigpipe();
  fuzz::TInput input(data, size);
  const uint8_t flags = input.Byte();
  const bool socks4 = flags & 1;
  const bool decode_only = flags & 2;
  const bool greet = flags & 4;
  const bool with_user = flags & 8;
  const std::vector<int> lengths = fuzz::ReadPieceLengths(input);
  const Text stream = input.Rest();
  Text shown = Text(" for SOCKS") + (socks4 ? "4 " : "5 ") + Escaped(stream);

  if (decode_only) {
    TSocksBlockSocket sock;
    sock.SetSocksType(socks4 ? ST_Socks4 : ST_Socks5);
    sock.SocksDecodeAddress(stream);
    CheckDecoded(sock, Decode(stream, socks4), " decoding" + shown);
    return 0;
  }

  const std::vector<Text> pieces = fuzz::SplitIntoPieces(stream, lengths);
  shown += " in " + std::to_string(pieces.size()) + " pieces" + (greet ? ", greeting first" : "");
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) fuzz::Fail(kTarget, "socketpair");
  fuzz::TPacedPeer peer(ends[1], -1, pieces, false);
  TSocksBlockSocket sock;
  sock.AdoptHandle(ends[0]);
  sock.SetSocksType(socks4 ? ST_Socks4 : ST_Socks5);
  sock.SetSocksTimeout(kTimeout);
  if (with_user) {
    sock.SetSocksUsername("u");
    sock.SetSocksPassword("p");
  }
  sock.SetOnMonitor([&peer](TBlockSocket&, bool writing, const void*, int length) {
    if (!writing) peer.Received(length);
  });
  bool greeted = true;
  if (greet) greeted = sock.SocksGreeting();
  const bool result = greeted && sock.SocksReadReply();
  const int error = sock.SocketError();
  peer.ReaderDone();

  const TExchange want = Expected(stream, socks4, greet);
  shown += ": greeted " + std::to_string(greeted) + ", result " + std::to_string(result) +
           ", code " + std::to_string(sock.SocksReplyCode()) + ", error " + std::to_string(error);
  FUZZ_CHECK(greeted == want.greeted, "greeting" + shown);
  FUZZ_CHECK(error == 0 || error == ErrPeerClosed, "error" + shown);
  if (!greeted) return 0;
  FUZZ_CHECK(result == want.result, "reply read" + shown);
  FUZZ_CHECK(sock.SocksReplyCode() == want.code, "reply code" + shown);
  if (result) {
    CheckDecoded(sock, want.decoded, shown);
  } else {
    FUZZ_CHECK(sock.SocksReplyHost().empty() && sock.SocksReplyPort().empty(),
               "a failed reply left host " + Escaped(sock.SocksReplyHost()) + " port " +
                   Escaped(sock.SocksReplyPort()) + shown);
  }
  return 0;
}
