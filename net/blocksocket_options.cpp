// TBlockSocket: socket options, queued until a platform socket exists.
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>

#include "net/blocksocket.h"

namespace tessaly {

namespace {

int SetInt(TSocketHandle handle, int level, int option, int value) {
  return SetSocketOption(handle, level, option, &value, sizeof(value));
}

int SetMilliseconds(TSocketHandle handle, int option, int milliseconds) {
  timeval limit{};
  if (milliseconds > 0) {
    limit.tv_sec = milliseconds / 1000;
    limit.tv_usec = (milliseconds % 1000) * 1000;
  }
  return SetSocketOption(handle, SOL_SOCKET, option, &limit, sizeof(limit));
}

}  // namespace

void TBlockSocket::SetReceiveBufferSize(int size) {
  auto option = std::make_unique<TSocketOption>();
  option->Kind = OptReceiveBuffer;
  option->IntValue = size;
  QueueOption(std::move(option));
}

void TBlockSocket::SetSendBufferSize(int size) {
  auto option = std::make_unique<TSocketOption>();
  option->Kind = OptSendBuffer;
  option->IntValue = size;
  QueueOption(std::move(option));
}

void TBlockSocket::QueueOption(std::unique_ptr<TSocketOption> option) {
  if (!option) return;
  if (handle_ != INVALID_SOCKET) {
    ApplyOption(std::move(option));
  } else {
    queued_options_.push_back(std::move(option));
  }
}

void TBlockSocket::ApplyQueuedOptions() {
  std::vector<std::unique_ptr<TSocketOption>> pending;
  pending.swap(queued_options_);
  for (auto& option : pending) ApplyOption(std::move(option));
}

void TBlockSocket::ApplyOption(std::unique_ptr<TSocketOption> option) {
  if (!option) return;
  const int ip_level = using_ip6_ ? IPPROTO_IPV6 : IPPROTO_IP;
  // Results are ignored: an option the platform refuses leaves the socket usable as it is.
  switch (option->Kind) {
    case OptLinger: {
      linger value{};
      value.l_onoff = option->Enabled ? 1 : 0;
      value.l_linger = option->IntValue / 1000;
      SetSocketOption(handle_, SOL_SOCKET, SO_LINGER, &value, sizeof(value));
      break;
    }
    case OptReceiveBuffer:
      SetInt(handle_, SOL_SOCKET, SO_RCVBUF, option->IntValue);
      break;
    case OptSendBuffer:
      SetInt(handle_, SOL_SOCKET, SO_SNDBUF, option->IntValue);
      break;
    case OptNonBlocking: {
      int value = option->Enabled ? 1 : 0;
      IoctlSocket(handle_, FIONBIO, value);
      break;
    }
    case OptReceiveTimeout:
      SetMilliseconds(handle_, SO_RCVTIMEO, option->IntValue);
      break;
    case OptSendTimeout:
      SetMilliseconds(handle_, SO_SNDTIMEO, option->IntValue);
      break;
    case OptReuseAddress:
      SetInt(handle_, SOL_SOCKET, SO_REUSEADDR, option->Enabled ? 1 : 0);
      break;
    case OptTTL:
      SetInt(handle_, ip_level, using_ip6_ ? IPV6_UNICAST_HOPS : IP_TTL, option->IntValue);
      break;
    case OptBroadcast:
      SetInt(handle_, SOL_SOCKET, SO_BROADCAST, option->Enabled ? 1 : 0);
      break;
    case OptMulticastTTL:
      SetInt(handle_, ip_level, using_ip6_ ? IPV6_MULTICAST_HOPS : IP_MULTICAST_TTL,
             option->IntValue);
      break;
    case OptMulticastLoop:
      SetInt(handle_, ip_level, using_ip6_ ? IPV6_MULTICAST_LOOP : IP_MULTICAST_LOOP,
             option->Enabled ? 1 : 0);
      break;
  }
}

}  // namespace tessaly
