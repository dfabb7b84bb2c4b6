#include "http/peerend.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace tessaly {

TPeerEnd ClassifyPeerEnd(TSocketHandle handle) {
  if (handle == INVALID_SOCKET) return TPeerEnd::Aborted;
  // A reset leaves its error pending until a receive reports it; the layer's reads notice the
  // end from readiness alone and so leave it there.
  int pending = 0;
  int length = sizeof(pending);
  if (GetSocketOption(handle, SOL_SOCKET, SO_ERROR, &pending, length) != 0 || pending != 0) {
    return TPeerEnd::Aborted;
  }
  // Even when a receive has consumed the error, the state tells: a FIN from the peer leaves our
  // side in CLOSE-WAIT (we have not closed yet), a reset or failure goes straight to CLOSED.
  tcp_info info{};
  length = sizeof(info);
  if (GetSocketOption(handle, IPPROTO_TCP, TCP_INFO, &info, length) != 0) {
    return TPeerEnd::Aborted;
  }
  return info.tcpi_state == TCP_CLOSE_WAIT ? TPeerEnd::Orderly : TPeerEnd::Aborted;
}

}  // namespace tessaly
