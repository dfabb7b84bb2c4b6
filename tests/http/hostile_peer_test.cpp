// Servers that break off, fall silent or dawdle: a reset at every stage of the answer, a close of
// the sending side that leaves the connection open, a server that accepts and never speaks (or
// never even accepts), answers that trickle in just fast enough to dodge every per-read
// time-out, sizes no body can have, and a connect or send that nothing on the peer's side
// ends. Each transaction must end when its framing, its time-out or its deadline says, and
// the client must serve the next one.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "http/httpclient.h"
#include "http_test_support.h"
#include "net/tcpsocket.h"
#include "support/scriptedpeer.h"

namespace tessaly {
namespace {

using httptest::AfterRequest;
using httptest::DocumentText;
using httptest::NewClient;
using httptest::PeerUrl;
using Clock = std::chrono::steady_clock;

// The client's wait for one packet in the cases that do not test it: ending sooner shows that
// the end of the connection was noticed rather than waited out.
constexpr int kReadTimeoutMs = 2000;
// The wait that the silent cases run into.
constexpr int kSilenceTimeoutMs = 1000;
// The deadline of the trickle cases: longer than their gaps, shorter than their answers.
constexpr int kDeadlineMs = 1200;
// How late an end that is due may come on a loaded machine.
constexpr int kLateMs = 2000;

const std::string kOk = "HTTP/1.0 200 OK\r\n";
const std::string kChunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";

PeerStep Send(const std::string& bytes) {
  return PeerStep::Send(bytes);
}

// An answer that sends `head`, then `piece` every 300 ms, for far longer than the deadline.
PeerScript Trickle(const std::string& head, const std::string& piece) {
  PeerScript answer{Send(head)};
  for (int i = 0; i < 20; ++i) {
    answer.push_back(PeerStep::Pause(300));
    answer.push_back(Send(piece));
  }
  answer.push_back(PeerStep::Close());
  return AfterRequest(answer);
}

enum class Ends {
  AtOnce,         // the framing or the connection's end decides: well before any time-out
  AfterSilence,   // the per-read time-out
  AtTheDeadline,  // the transaction deadline, as no read ever waits long enough
};

struct HostileCase {
  std::string name;
  PeerScript script;
  Ends ends = Ends::AtOnce;
  bool result = false;
  std::string document;  // checked when result is true
  int code = -1;         // checked when not -1
  int timeout_ms = kReadTimeoutMs;
  int deadline_ms = 0;
  ScriptedPeer::Mode mode = ScriptedPeer::Mode::Script;
  std::string host = "127.0.0.1";
  std::function<void(THTTPClient&)> setup = [](THTTPClient&) {};
};

void PrintTo(const HostileCase& c, std::ostream* os) {
  *os << c.name;
}

HostileCase ResetCase(std::string name, std::string answer, std::string host = "127.0.0.1") {
  HostileCase c;
  c.name = std::move(name);
  c.script = AfterRequest({Send(answer), PeerStep::Reset()});
  c.host = std::move(host);
  return c;
}

HostileCase HalfCloseCase(std::string name, std::string answer, bool result = false,
                          std::string document = "") {
  HostileCase c;
  c.name = std::move(name);
  // The server stops sending but keeps the connection open and goes on reading.
  c.script = AfterRequest({Send(answer), PeerStep::ShutdownWrite()});
  c.result = result;
  c.document = std::move(document);
  return c;
}

HostileCase SilentCase(std::string name, PeerScript script) {
  HostileCase c;
  c.name = std::move(name);
  c.script = std::move(script);
  c.ends = Ends::AfterSilence;
  c.timeout_ms = kSilenceTimeoutMs;
  return c;
}

// The peer sends the answer and closes in order: the framing alone decides.
HostileCase ClosedCase(std::string name, std::string answer, bool result = false,
                       std::string document = "") {
  HostileCase c = HalfCloseCase(std::move(name), "", result, std::move(document));
  c.script = AfterRequest({Send(std::move(answer)), PeerStep::Close()});
  return c;
}

// A connect to a full queue, or a request body to a peer that never reads, waits until the
// socket's own limit, a stop request or the transaction deadline ends it.
HostileCase WaitCase(std::string name, ScriptedPeer::Mode mode, Ends ends, bool stop = false) {
  HostileCase c = SilentCase(std::move(name), {});
  c.mode = mode;
  c.ends = ends;
  c.code = 500;
  if (ends == Ends::AtTheDeadline) c.deadline_ms = kDeadlineMs;
  const bool sending = mode == ScriptedPeer::Mode::NeverAccept;
  const bool own_limit = ends == Ends::AfterSilence;
  c.setup = [sending, stop, own_limit](THTTPClient& client) {
    TTCPBlockSocket& sock = client.Sock();
    if (own_limit) {
      sock.SetConnectTimeout(kSilenceTimeoutMs);
      sock.SetNonblockSendTimeout(kSilenceTimeoutMs);
    }
    // Far more than the kernel buffers for a peer that reads nothing.
    if (sending) client.Document().Write(std::string(32 << 20, 'p'));
    if (!stop) return;
    sock.SetHeartbeatRate(50);
    sock.SetOnHeartbeat([beats = 0](TBlockSocket& s) mutable {
      if (++beats == 4) s.SetStopFlag(true);
    });
  };
  return c;
}

HostileCase TrickleCase(std::string name, PeerScript script) {
  HostileCase c;
  c.name = std::move(name);
  c.script = std::move(script);
  c.ends = Ends::AtTheDeadline;
  c.deadline_ms = kDeadlineMs;
  return c;
}

std::vector<HostileCase> HostileCases() {
  const std::string quarter_mib(256 * 1024, 'q');
  std::vector<HostileCase> cases = {
      // Resets, from the accept to the middle of every body framing.
      [] {
        HostileCase c;
        c.name = "ResetOnAccept";
        c.script = {PeerStep::Reset()};
        return c;
      }(),
      [] {
        HostileCase c;
        c.name = "ResetOnceTheRequestArrived";
        c.script = AfterRequest({PeerStep::Reset()});
        c.code = 0;
        return c;
      }(),
      ResetCase("ResetInTheStatusLine", "HTTP/1.0 20"),
      ResetCase("ResetAfterTheStatusLine", kOk),
      ResetCase("ResetInAHeaderLine", kOk + "Content-Type: ima"),
      ResetCase("ResetBeforeTheBlankLine", kOk + "Content-Length: 5\r\n"),
      ResetCase("ResetRightAfterTheHeadersOfALength", kOk + "Content-Length: 5\r\n\r\n"),
      ResetCase("ResetRightAfterTheHeadersOfChunks", kChunked),
      ResetCase("ResetMidBodyUntilClose", kOk + "\r\n" + quarter_mib),
      ResetCase("ResetMidBodyUntilCloseOverIPv6", kOk + "\r\n" + quarter_mib, "::1"),
      ResetCase("ResetMidBodyByLength", kOk + "Content-Length: 1048576\r\n\r\n" + quarter_mib),
      ResetCase("ResetInAChunkSizeLine", kChunked + "4"),
      ResetCase("ResetMidChunk", kChunked + "400\r\n" + std::string(100, 'c')),
      ResetCase("ResetBeforeTheChunkDataEnds", kChunked + "3\r\nabc"),
      ResetCase("ResetBetweenChunks", kChunked + "3\r\nabc\r\n"),
      // The server shuts down its sending side after part of an answer and keeps the
      // connection open: only a body that runs until the close, or a finished chunk list, is
      // complete then.
      [] {
        HostileCase c = HalfCloseCase("HalfCloseBeforeAnyAnswer", "");
        c.code = 0;
        return c;
      }(),
      [] {
        HostileCase c = HalfCloseCase("HalfCloseInTheStatusLine", "HTTP/1.0 20");
        c.code = 0;
        return c;
      }(),
      HalfCloseCase("HalfCloseInTheHeaders", kOk + "X-A: 1\r\n"),
      HalfCloseCase("HalfCloseShortOfTheLength", kOk + "Content-Length: 10\r\n\r\nhello"),
      HalfCloseCase("HalfCloseInAChunkSizeLine", kChunked + "1"),
      HalfCloseCase("HalfCloseMidChunk", kChunked + "a\r\nhello"),
      HalfCloseCase("HalfCloseBeforeTheLastChunk", kChunked + "3\r\nabc\r\n"),
      HalfCloseCase("HalfCloseEndsABodyUntilClose", kOk + "\r\nbody", true, "body"),
      HalfCloseCase("HalfCloseAfterTheLastChunk", kChunked + "3\r\nabc\r\n0\r\n\r\n", true, "abc"),
      // Silence: the per-read time-out ends it.
      SilentCase("AcceptsAndNeverSpeaks", {}),
      SilentCase("SilentAfterTheHeadersOfALength", AfterRequest({Send(kOk + "Content-Length: "
                                                                            "10\r\n\r\n")})),
      SilentCase("SilentMidChunk", AfterRequest({Send(kChunked + "a\r\nhel")})),
      [] {
        HostileCase c = SilentCase("NeverAccepts", {});
        c.mode = ScriptedPeer::Mode::NeverAccept;
        c.code = 0;
        return c;
      }(),
      [] {
        HostileCase c = SilentCase("SilentWithoutAnyWaitLimit", {});
        c.ends = Ends::AtTheDeadline;
        c.timeout_ms = -1;
        c.deadline_ms = 800;
        return c;
      }(),
      // A byte or a line every 300 ms: each read is satisfied long before its time-out.
      TrickleCase("TrickledBodyByLength", Trickle(kOk + "Content-Length: 100\r\n\r\n", "x")),
      TrickleCase("TrickledBodyUntilClose", Trickle(kOk + "\r\n", "x")),
      TrickleCase("TrickledOneByteChunks", Trickle(kChunked, "1\r\nx\r\n")),
      TrickleCase("TrickledHeaderLines", Trickle(kOk, "X-Slow: 1\r\n")),
      // Sizes judged by value, whatever the digits; one no body can have fails at once.
      ClosedCase("ChunkOf80000000", kChunked + "3\r\nabc\r\n0000000080000000;x\r\nabc"),
      ClosedCase("LengthAboveTheLargest", kOk + "Content-Length: 0002147483648\r\n\r\nabc"),
      ClosedCase("LengthInHexAboveTheLargest", kOk + "Content-Length: $80000000\r\n\r\nabc"),
      ClosedCase("LaterLengthOfMinusOne",
                 kOk + "Content-Length: 3\r\nContent-Length: -1\r\n\r\nab"),
      ClosedCase("LengthOfMinusOneRunsUntilTheClose", kOk + "Content-Length: -1\r\n\r\nab", true,
                 "ab"),
      ClosedCase("ChunkOfFiveAfterZeros", kChunked + "0000000005\r\nhello\r\n0\r\n\r\n", true,
                 "hello"),
      WaitCase("ConnectAtItsLimit", ScriptedPeer::Mode::FullQueue, Ends::AfterSilence),
      WaitCase("ConnectStopped", ScriptedPeer::Mode::FullQueue, Ends::AtOnce, true),
      WaitCase("ConnectAtTheDeadline", ScriptedPeer::Mode::FullQueue, Ends::AtTheDeadline),
      WaitCase("SendAtItsLimit", ScriptedPeer::Mode::NeverAccept, Ends::AfterSilence),
      WaitCase("SendStopped", ScriptedPeer::Mode::NeverAccept, Ends::AtOnce, true),
      WaitCase("SendAtTheDeadline", ScriptedPeer::Mode::NeverAccept, Ends::AtTheDeadline),
  };
  return cases;
}

std::string HostUrl(const ScriptedPeer& peer) {
  return PeerUrl(peer, "/image.jpg");
}

// The client that went through the hostile answer, and a fresh one, both complete an ordinary
// answer: the series goes on.
void ExpectTheNextTransactionsSucceed(THTTPClient& client) {
  for (int round = 0; round < 2; ++round) {
    ScriptedPeer good(AfterRequest(
        {Send("HTTP/1.0 200 OK\r\nContent-Length: 4\r\n\r\nfine"), PeerStep::Close()}));
    auto fresh = NewClient(kReadTimeoutMs);
    THTTPClient& next = round == 0 ? client : *fresh;
    // Before a transaction Headers and Document are the request's: what a failed answer left
    // there would otherwise go out as request lines and body.
    next.ResetMessage();
    EXPECT_TRUE(next.ExecuteRequest("GET", HostUrl(good)))
        << (round == 0 ? "the same client" : "a new client");
    EXPECT_EQ(next.Document().Size(), 4);
    EXPECT_EQ(DocumentText(next).substr(0, 16), "fine");
    EXPECT_FALSE(next.LimitExceeded());
  }
}

class HostilePeer : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostilePeer, EndsWhenItShouldAndTheSeriesGoesOn) {
  const HostileCase& param = GetParam();
  ScriptedPeer::Options options;
  options.host = param.host;
  options.mode = param.mode;
  ScriptedPeer peer(param.script, options);
  ASSERT_EQ(peer.SetupError(), "");
  auto client = NewClient(param.timeout_ms);
  client->SetTransactionTimeout(param.deadline_ms);
  param.setup(*client);

  const Clock::time_point start = Clock::now();
  const bool result = client->ExecuteRequest("GET", HostUrl(peer));
  const auto elapsed_ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  RecordProperty("elapsed_ms", std::to_string(elapsed_ms));

  EXPECT_EQ(result, param.result);
  if (param.result) {
    EXPECT_EQ(DocumentText(*client), param.document);
  }
  if (param.code != -1) {
    EXPECT_EQ(client->ResultCode(), param.code);
  }
  EXPECT_LE(client->Document().Size(), client->MaxBodySize());
  switch (param.ends) {
    case Ends::AtOnce:
      EXPECT_LT(elapsed_ms, param.timeout_ms) << "the end of the connection was waited out";
      EXPECT_FALSE(client->LimitExceeded());
      break;
    case Ends::AfterSilence:
      EXPECT_GE(elapsed_ms, param.timeout_ms - 50);
      EXPECT_LT(elapsed_ms, param.timeout_ms + kLateMs);
      EXPECT_FALSE(client->LimitExceeded());
      break;
    case Ends::AtTheDeadline:
      EXPECT_GE(elapsed_ms, param.deadline_ms - 50);
      EXPECT_LT(elapsed_ms, param.deadline_ms + kLateMs);
      EXPECT_TRUE(client->LimitExceeded());
      EXPECT_EQ(client->Sock().Handle(), INVALID_SOCKET);
      break;
  }

  ExpectTheNextTransactionsSucceed(*client);
}

INSTANTIATE_TEST_SUITE_P(Hostile, HostilePeer, ::testing::ValuesIn(HostileCases()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace tessaly
