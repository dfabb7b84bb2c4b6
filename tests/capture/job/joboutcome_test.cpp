#include "capture/job/joboutcome.h"

#include <gtest/gtest.h>

#include "base/clock.h"
#include "http/httpclient.h"
#include "net/sockapi.h"
#include "support/childprocess.h"
#include "support/scriptedpeer.h"

namespace tessaly {
namespace {

struct FailureCase {
  const char* name;
  const char* answer;  // sent after the request; nullptr refuses the connection
  int header_line, header_size, body, deadline_ms;
  const char* text;
  int silence_ms = 0;   // the client's Timeout, when not 0
  bool stream = false;  // the client reads a stream's first part
};

void PrintTo(const FailureCase& row, std::ostream* os) {
  *os << row.name;
}

class TransactionFailureTest : public testing::TestWithParam<FailureCase> {};

TEST_P(TransactionFailureTest, SaysWhatEndedIt) {
  TSocketLayerScope layer;
  const FailureCase& c = GetParam();
  ScriptedPeer peer({PeerStep::AwaitText("\r\n\r\n"), PeerStep::Send(c.answer ? c.answer : ""),
                     PeerStep::Pause(c.deadline_ms || c.silence_ms ? 3000 : 0), PeerStep::Close()});
  const int port = c.answer != nullptr ? peer.Port() : PickFreePort();
  THTTPClient client;
  client.SetMaxHeaderLineLength(c.header_line);
  client.SetMaxHeaderSize(c.header_size);
  client.SetMaxBodySize(c.body);
  client.SetTransactionTimeout(c.deadline_ms);
  if (c.silence_ms) client.SetTimeout(c.silence_ms);
  client.SetFirstPartOfStream(c.stream);
  const uint32_t started = TickCount();
  ASSERT_FALSE(client.ExecuteRequest("GET", "http://127.0.0.1:" + std::to_string(port) + "/a"));
  EXPECT_EQ(TransactionFailureText(client, started), c.text);
}

constexpr char kHead[] = "HTTP/1.0 200 OK\r\nContent-Length: 100\r\n";
INSTANTIATE_TEST_SUITE_P(
    Table, TransactionFailureTest,
    testing::Values(
        FailureCase{"Refused", nullptr, 0, 0, 0, 0, "10061 Connection refused"},
        FailureCase{"HeaderLine", kHead, 10, 0, 0, 0, "header line longer than 10 bytes"},
        FailureCase{"HeaderBlock", kHead, 0, 30, 0, 0, "header block larger than 30 bytes"},
        FailureCase{"Body", "HTTP/1.0 200 OK\r\nContent-Length: 2000000\r\n\r\nab", 0, 0, 1048576,
                    0, "answer larger than 1 MiB"},
        FailureCase{"ChunkFraming",
                    "HTTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nFFFFFFFFFF\r\n", 0, 0, 0,
                    0, "broken chunk framing"},
        FailureCase{"Silence", "", 0, 0, 0, 0, "no answer within 300 ms", 300},
        FailureCase{"StallInTheHeader", kHead, 0, 0, 0, 0, "stalled after 38 bytes", 300},
        FailureCase{"StallInTheBody", "HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\nabc", 0, 0, 0,
                    0, "stalled after 3 of 100 bytes", 300},
        FailureCase{"StreamPartHeaderLine",
                    "HTTP/1.0 200 OK\r\nContent-Type: multipart/x-mixed-replace;boundary=b\r\n\r\n"
                    "--b\r\nX: 0123456789012345678901234567890123456789012345678901234567890\r\n",
                    60, 0, 0, 0, "part header line longer than 60 bytes", 0, true},
        FailureCase{"Deadline", "HTTP/1.0 200 OK\r\n", 0, 0, 0, 300, "deadline of 300 ms passed"}),

    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tessaly
