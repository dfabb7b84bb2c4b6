// Telling how a TCP peer ended a connection after a read has reported it closed: the socket
// layer gives the same code for an orderly close and for a reset.
#pragma once

#include "net/sockapi.h"

namespace tessaly {

enum class TPeerEnd {
  Orderly,  // the peer sent FIN: everything it sent has arrived
  Aborted,  // the peer reset the connection, or it failed: data may be missing
};

// Looks at the connection's pending error and TCP state. Reading the pending error clears it.
TPeerEnd ClassifyPeerEnd(TSocketHandle handle);

}  // namespace tessaly
