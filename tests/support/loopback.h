// Pieces the loopback test peers share.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace tessaly {

// "what: <the system's text for errno>".
inline std::string ErrnoText(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

// Fills `address` with the loopback address of the family, port 0, for `listen_fd` to bind;
// an IPv6 listener is made IPv6-only. Answers the address's length.
inline socklen_t LoopbackListenAddress(int listen_fd, bool ip6, sockaddr_storage& address) {
  address = {};
  if (ip6) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
    in6->sin6_family = AF_INET6;
    in6->sin6_addr = in6addr_loopback;
    const int only = 1;
    ::setsockopt(listen_fd, IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof(only));
    return sizeof(sockaddr_in6);
  }
  auto* in4 = reinterpret_cast<sockaddr_in*>(&address);
  in4->sin_family = AF_INET;
  in4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return sizeof(sockaddr_in);
}

}  // namespace tessaly
