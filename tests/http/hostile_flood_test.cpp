// Servers that never stop sending: endless lines, endless header blocks, endless bodies in every
// framing, and lengths or chunk sizes that no body could honour. Each flood must be cut off
// near the client's limit (judged by how much the server got rid of, and by the process's
// resident peak), the call must end in time, and the client must serve the next transaction.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include "http/httpclient.h"
#include "http_test_support.h"
#include "net/tcpsocket.h"
#include "support/floodpeer.h"
#include "support/scriptedpeer.h"

namespace tessaly {
namespace {

using httptest::AfterRequest;
using httptest::DocumentText;
using httptest::NewClient;
using httptest::PeerUrl;
using Clock = std::chrono::steady_clock;

constexpr int64_t kKiB = 1024;
constexpr int64_t kMiB = 1024 * 1024;
// The client's wait for one packet: a flood that is not cut off ends only by running into the
// peer's cap and then this wait, so a call that ends sooner was cut off by the client.
constexpr int kReadTimeoutMs = 3000;
// The deadline of the cases that no limit can end.
constexpr int kDeadlineMs = 1000;
// Sanitizers keep freed memory in quarantine and add shadow memory: the resident peak would
// measure them rather than the client.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kPeakIsMeaningful = false;
#else
constexpr bool kPeakIsMeaningful = true;
#endif
// Growth of the resident peak that a flood may cause beyond the bytes the client may hold:
// read-ahead, one body doubling, the allocator's slack. A client that followed a flood to the
// peer's cap would grow by the cap.
constexpr int64_t kPeakSlack = 48 * kMiB;

const std::string kOk = "HTTP/1.0 200 OK\r\n";
const std::string kChunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";

std::string FloodUrl(const FloodPeer& peer) {
  const std::string host =
      peer.Host().find(':') != std::string::npos ? "[" + peer.Host() + "]" : peer.Host();
  return "http://" + host + ":" + peer.PortText() + "/image.jpg";
}

std::string Chunk(size_t size, char fill) {
  static const char* digits = "0123456789abcdef";
  std::string hex;
  for (size_t n = size; n > 0; n /= 16) hex.insert(hex.begin(), digits[n % 16]);
  return hex + "\r\n" + std::string(size, fill) + "\r\n";
}

enum class Outcome {
  Breach,    // a limit stops the flood: false, LimitExceeded, connection dropped
  Deadline,  // nothing is held, so only the transaction deadline can end it
  NoBody,    // the framing gives an empty body at once: true, the rest is never read
  Unframed,  // a size no body can have: false at once, connection dropped, no limit involved
};

struct FloodCase {
  std::string name;
  std::string prefix;
  FloodPeer::Generator generate;
  std::function<void(THTTPClient&)> setup;
  Outcome outcome;
  // Bytes of the stream after the prefix that the client may take before it must stop (0: the
  // case holds nothing, so how much flowed tells nothing).
  int64_t may_take = 0;
  // Bytes the client may keep in memory at the end.
  int64_t may_hold = 0;
  std::string host = "127.0.0.1";
};

void PrintTo(const FloodCase& c, std::ostream* os) {
  *os << c.name;
}

void Defaults(THTTPClient&) {}

std::function<void(THTTPClient&)> BodyLimit(int64_t bytes) {
  return [bytes](THTTPClient& c) { c.SetMaxBodySize(bytes); };
}

std::function<void(THTTPClient&)> Deadline(int ms) {
  return [ms](THTTPClient& c) { c.SetTransactionTimeout(ms); };
}

std::vector<FloodCase> FloodCases() {
  using P = FloodPeer;
  const int64_t line = 64 * kKiB;   // the client's default header line limit
  const int64_t header = 1 * kMiB;  // the client's default header block limit
  const int64_t body = 4 * kMiB;    // a body limit set below the peer's cap
  return {
      {"EndlessStatusLine", "HTTP/1.0 200 ", P::Repeat("O"), Defaults, Outcome::Breach, line, 0},
      {"EndlessHeaderLine", kOk + "X-Endless: ", P::Repeat("a"), Defaults, Outcome::Breach, line,
       0},
      {"EndlessFirstLineWithoutAnyEnd", "", P::Repeat("<html>"), Defaults, Outcome::Breach, line,
       0},
      {"AMillionHeaderLines", kOk, P::RepeatTimes("X-Line: 1\r\n", 1000000), Defaults,
       Outcome::Breach, header, 0},
      {"AMillionOneByteHeaderLines", kOk, P::RepeatTimes("a\r\n", 1000000), Defaults,
       Outcome::Breach, header, 0},
      {"AMillionBareLineFeedsBeforeTheStatus", "", P::RepeatTimes("\n", 1000000), Defaults,
       Outcome::Breach, header, 0},
      {"EndlessInterimAnswers", "", P::Repeat("HTTP/1.1 100 Continue\r\n\r\n"), Defaults,
       Outcome::Breach, header, 0},
      {"EndlessBodyUntilClose", kOk + "\r\n", P::Repeat("\xff\xd8jpeg"), BodyLimit(body),
       Outcome::Breach, body, body},
      {"EndlessBodyUntilCloseOverIPv6", kOk + "\r\n", P::Repeat("\xff\xd8jpeg"), BodyLimit(body),
       Outcome::Breach, body, body, "::1"},
      {"EndlessChunkedBody", kChunked, P::Repeat(Chunk(4096, 'c')), BodyLimit(body),
       Outcome::Breach, body + body / 512, body},
      // Six bytes on the wire for every byte of body.
      {"EndlessOneByteChunks", kChunked, P::Repeat("1\r\nx\r\n"), BodyLimit(256 * kKiB),
       Outcome::Breach, 6 * 256 * kKiB, 256 * kKiB},
      // No body can be that long; a parser that wrapped the second to 1 would stop after one
      // byte and call that a body.
      {"LengthOfElevenDigits", kOk + "Content-Length: 99999999999\r\n\r\n", P::Repeat("b"),
       BodyLimit(body), Outcome::Unframed, 0, 0},
      {"LengthJustPast32Bits", kOk + "Content-Length: 4294967297\r\n\r\n", P::Repeat("b"),
       BodyLimit(body), Outcome::Unframed, 0, 0},
      {"LengthInHexJustUnderTheSignBit", kOk + "Content-Length: $7FFFFFFF\r\n\r\n", P::Repeat("b"),
       BodyLimit(body), Outcome::Breach, 0, 0},
      {"LengthMinusOneMeansUntilClose", kOk + "Content-Length: -1\r\n\r\n", P::Repeat("b"),
       BodyLimit(body), Outcome::Breach, body, body},
      // Any other negative length is no length a body can have.
      {"NegativeLength", kOk + "Content-Length: -5\r\n\r\n", P::Repeat("b"), Defaults,
       Outcome::Unframed, 0, 0},
      {"ChunkSizeOfEightFs", kChunked + "FFFFFFFF\r\n", P::Repeat("d"), Defaults, Outcome::Unframed,
       0, 0},
      {"ChunkSizeMinusOne", kChunked + "-1\r\n", P::Repeat("d"), Defaults, Outcome::Unframed, 0, 0},
      // Nine hex digits do not fit; a parser that wrapped them would read 1 KiB and go on.
      {"ChunkSizeOfNineDigits", kChunked + "100000400\r\n", P::Repeat("d"), Defaults,
       Outcome::Unframed, 0, 0},
      {"EndlessLinesOfEightFs", kChunked, P::Repeat("FFFFFFFF\r\n"), Deadline(kDeadlineMs),
       Outcome::Unframed, 0, 0},
      // A blank line where a chunk size belongs is no framing: the body ends there at once.
      {"EndlessBlankLinesBetweenChunks", kChunked + Chunk(10, 'e'), P::Repeat("\r\n"),
       Deadline(kDeadlineMs), Outcome::Unframed, 0, 10},
  };
}

// The client that ended a flood, and a fresh one, both complete an ordinary answer: the series
// goes on.
void ExpectTheNextTransactionsSucceed(THTTPClient& client) {
  for (int round = 0; round < 2; ++round) {
    ScriptedPeer good(AfterRequest(
        {PeerStep::Send("HTTP/1.0 200 OK\r\nContent-Length: 4\r\n\r\nfine"), PeerStep::Close()}));
    auto fresh = NewClient(kReadTimeoutMs);
    THTTPClient& next = round == 0 ? client : *fresh;
    // Before a transaction Headers and Document are the request's: what a failed answer left
    // there would otherwise go out as request lines and body.
    next.ResetMessage();
    EXPECT_TRUE(next.ExecuteRequest("GET", PeerUrl(good, "/next.jpg")))
        << (round == 0 ? "the same client" : "a new client");
    EXPECT_EQ(next.Document().Size(), 4);
    EXPECT_EQ(DocumentText(next).substr(0, 16), "fine");
    EXPECT_FALSE(next.LimitExceeded());
  }
}

class Flood : public ::testing::TestWithParam<FloodCase> {};

TEST_P(Flood, IsCutOffInTimeAndTheSeriesGoesOn) {
  const FloodCase& param = GetParam();
  FloodPeer::Options options;
  options.host = param.host;
  options.prefix = param.prefix;
  options.generate = param.generate;
  // For the deadline cases a cap would only end the flood before the deadline could.
  if (param.outcome == Outcome::Deadline) options.cap = uint64_t{64} << 30;
  FloodPeer peer(options);
  ASSERT_EQ(peer.SetupError(), "");
  auto client = NewClient(kReadTimeoutMs);
  param.setup(*client);
  const bool peak_known = kPeakIsMeaningful && ResetPeakMemory();
  const MemoryFigures before = ReadMemoryFigures();

  const Clock::time_point start = Clock::now();
  const bool result = client->ExecuteRequest("GET", FloodUrl(peer));
  const auto elapsed_ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  const MemoryFigures after = ReadMemoryFigures();

  ASSERT_TRUE(peer.WaitEnded(5000)) << "the client still holds the flooding connection";
  EXPECT_EQ(peer.Failure(), "");
  EXPECT_TRUE(peer.ClientLeftMidStream()) << "the client must leave while the flood goes on";
  EXPECT_FALSE(peer.CapReached());
  const int64_t sent = static_cast<int64_t>(peer.Sent());
  if (param.may_take > 0) {
    EXPECT_LE(sent, static_cast<int64_t>(param.prefix.size()) + param.may_take +
                        static_cast<int64_t>(peer.InFlightAllowance()));
  }
  EXPECT_LE(client->Document().Size(), client->MaxBodySize());
  EXPECT_LE(client->Document().Size(), param.may_hold);
  const int64_t peak_growth_kib = peak_known ? after.hwm_kib - before.rss_kib : 0;
  if (peak_known) {
    EXPECT_LE(peak_growth_kib * kKiB, param.may_hold + kPeakSlack);
  }

  switch (param.outcome) {
    case Outcome::Breach:
      EXPECT_FALSE(result);
      EXPECT_TRUE(client->LimitExceeded());
      EXPECT_EQ(client->Sock().Handle(), INVALID_SOCKET);
      EXPECT_LT(elapsed_ms, kReadTimeoutMs);
      break;
    case Outcome::Deadline:
      EXPECT_FALSE(result);
      EXPECT_TRUE(client->LimitExceeded());
      EXPECT_EQ(client->Sock().Handle(), INVALID_SOCKET);
      EXPECT_GE(elapsed_ms, kDeadlineMs - 50);
      EXPECT_LT(elapsed_ms, kDeadlineMs + 2000);
      break;
    case Outcome::Unframed:
      EXPECT_FALSE(result);
      EXPECT_FALSE(client->LimitExceeded());
      EXPECT_EQ(client->Sock().Handle(), INVALID_SOCKET);
      EXPECT_LT(elapsed_ms, kReadTimeoutMs);
      break;
    case Outcome::NoBody:
      EXPECT_TRUE(result);
      EXPECT_FALSE(client->LimitExceeded());
      EXPECT_EQ(DocumentText(*client), "");
      EXPECT_LT(elapsed_ms, kReadTimeoutMs);
      break;
  }
  RecordProperty("elapsed_ms", std::to_string(elapsed_ms));
  RecordProperty("peer_sent_bytes", std::to_string(sent));
  RecordProperty("peak_growth_kib", std::to_string(peak_growth_kib));

  ExpectTheNextTransactionsSucceed(*client);
}

INSTANTIATE_TEST_SUITE_P(Hostile, Flood, ::testing::ValuesIn(FloodCases()),
                         [](const auto& info) { return info.param.name; });

// With the line limit switched off, the header block limit is the bound left for a line that
// never ends; it must hold while the line is being assembled, not only once it is complete.
TEST(FloodWithoutALineLimit, EndlessHeaderLineIsStoppedByTheHeaderBlockLimit) {
  FloodPeer::Options options;
  options.prefix = kOk + "X-Endless: ";
  options.generate = FloodPeer::Repeat("a");
  options.cap = uint64_t{64} << 20;
  FloodPeer peer(options);
  ASSERT_EQ(peer.SetupError(), "");
  auto client = NewClient(kReadTimeoutMs);
  client->SetMaxHeaderLineLength(0);

  const Clock::time_point start = Clock::now();
  EXPECT_FALSE(client->ExecuteRequest("GET", FloodUrl(peer)));
  const auto elapsed_ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  EXPECT_TRUE(client->LimitExceeded());
  EXPECT_LT(elapsed_ms, kReadTimeoutMs);
  ASSERT_TRUE(peer.WaitEnded(5000));
  EXPECT_FALSE(peer.CapReached());
  EXPECT_LE(peer.Sent(), options.prefix.size() + static_cast<uint64_t>(client->MaxHeaderSize()) +
                             peer.InFlightAllowance());
}

// A body that runs until the close is held as it grows; at the body limit the process should
// stay within a small multiple of the limit: the room grows no further than the limit, though
// its growth holds old and new room while it copies.
TEST(FloodToTheBodyLimit, UntilCloseStaysWithinAFewTimesTheLimit) {
  if (!kPeakIsMeaningful) GTEST_SKIP() << "the resident peak measures the sanitizer";
  constexpr int64_t kLimit = 64 * kMiB;
  FloodPeer::Options options;
  options.prefix = kOk + "\r\n";
  options.generate = FloodPeer::Repeat("\xff\xd8jpeg");
  FloodPeer peer(options);
  ASSERT_EQ(peer.SetupError(), "");
  auto client = NewClient(kReadTimeoutMs);
  client->SetMaxBodySize(kLimit);
  ASSERT_TRUE(ResetPeakMemory());
  const MemoryFigures before = ReadMemoryFigures();

  EXPECT_FALSE(client->ExecuteRequest("GET", FloodUrl(peer)));
  const MemoryFigures after = ReadMemoryFigures();
  EXPECT_TRUE(client->LimitExceeded());
  EXPECT_LE((after.hwm_kib - before.rss_kib) * kKiB, 3 * kLimit);
}

}  // namespace
}  // namespace tessaly
