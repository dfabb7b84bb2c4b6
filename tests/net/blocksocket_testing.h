// Shared pieces of the socket object's tests: concrete stream and datagram sockets, a fixture
// that brings the socket interface up and down, an event recorder and a connected pair.
#pragma once

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "net/blocksocket.h"
#include "net/sockapi.h"

namespace tessaly {

// The base socket asks the platform for type 0; these fix the kind of socket.
class TStreamTestSocket : public TBlockSocket {
 public:
  int SocketKind() const override { return SOCK_STREAM; }
  int SocketProtocol() const override { return IPPROTO_TCP; }
};

class TDatagramTestSocket : public TBlockSocket {
 public:
  int SocketKind() const override { return SOCK_DGRAM; }
  int SocketProtocol() const override { return IPPROTO_UDP; }
};

class SocketLayerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(LoadSocketInterface()); }
  void TearDown() override { ReleaseSocketInterface(); }
};

template <class Param>
class SocketLayerTestP : public ::testing::TestWithParam<Param> {
 protected:
  void SetUp() override { ASSERT_TRUE(LoadSocketInterface()); }
  void TearDown() override { ReleaseSocketInterface(); }
};

// Records status events. The record is shared with the hook, so the log may die before the
// socket (whose destructor still sends SR_Closed). Thread-safe: a hook may run while another
// thread looks.
class EventLog {
 public:
  struct Event {
    THookSocketReason reason;
    Text value;
  };
  void Attach(TBlockSocket& socket) {
    std::shared_ptr<Record> record = record_;
    socket.SetOnStatus([record](TBlockSocket&, THookSocketReason reason, const Text& value) {
      std::lock_guard<std::mutex> lock(record->mutex);
      record->events.push_back({reason, value});
    });
  }
  std::vector<Event> Events() const {
    std::lock_guard<std::mutex> lock(record_->mutex);
    return record_->events;
  }
  std::vector<THookSocketReason> Reasons() const {
    std::vector<THookSocketReason> reasons;
    for (const Event& event : Events()) reasons.push_back(event.reason);
    return reasons;
  }
  std::vector<Text> Values(THookSocketReason reason) const {
    std::vector<Text> values;
    for (const Event& event : Events()) {
      if (event.reason == reason) values.push_back(event.value);
    }
    return values;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(record_->mutex);
    record_->events.clear();
  }

 private:
  struct Record {
    std::mutex mutex;
    std::vector<Event> events;
  };
  std::shared_ptr<Record> record_ = std::make_shared<Record>();
};

// Milliseconds since construction.
class Stopwatch {
 public:
  long long Ms() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start_)
        .count();
  }

 private:
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// Two stream sockets connected over loopback: `client` connected with ConnectTo, `server`
// adopted from the accepted handle.
struct ConnectedPair {
  TStreamTestSocket client;
  TStreamTestSocket server;
  Text error;  // why the pair could not be made; "" on success

  explicit ConnectedPair(const Text& host) {
    TStreamTestSocket listener;
    listener.SetFamily(host.find(':') != Text::npos ? SF_IP6 : SF_IP4);
    listener.BindTo(host, "0");
    if (listener.SocketError() != 0 || ListenSocket(listener.Handle(), 4) != 0) {
      error = "listen: " + listener.SocketErrorText();
      return;
    }
    client.ConnectTo(host, IntToText(listener.LocalPort()));
    if (client.SocketError() != 0) {
      error = "connect: " + client.SocketErrorText();
      return;
    }
    const TSocketHandle accepted = AcceptSocket(listener.Handle(), nullptr);
    if (accepted == INVALID_SOCKET) {
      error = "accept failed";
      return;
    }
    server.AdoptHandle(accepted);
  }
};

// Text of `size` bytes whose every byte depends on its position (catches lost, doubled or
// reordered pieces).
inline Text PatternText(size_t size, unsigned seed = 7) {
  Text text(size, '\0');
  unsigned state = seed;
  for (size_t i = 0; i < size; ++i) {
    state = state * 1103515245u + 12345u;
    text[i] = static_cast<char>(state >> 16);
  }
  return text;
}

inline const std::vector<Text>& LoopbackHosts() {
  static const std::vector<Text> hosts{"127.0.0.1", "::1"};
  return hosts;
}

inline std::string HostName(const ::testing::TestParamInfo<Text>& info) {
  return info.param == "::1" ? "IPv6" : "IPv4";
}

}  // namespace tessaly
