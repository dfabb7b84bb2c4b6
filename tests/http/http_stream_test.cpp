// A stream's first part is held to the client's bounds, and a stream that stalls before the
// part ends fails the transaction, against a scripted stream that stays open.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "http/httpclient.h"
#include "http_test_support.h"
#include "support/scriptedpeer.h"

namespace tessaly {
namespace {

struct StreamLimitCase {
  std::string name;
  std::string body;
  std::function<void(THTTPClient&)> bound;
  bool limit_exceeded;
};

class HttpStreamTest : public ::testing::TestWithParam<StreamLimitCase> {};

TEST_P(HttpStreamTest, FailsWithoutTheWholeFirstPart) {
  const StreamLimitCase& c = GetParam();
  ScriptedPeer peer(httptest::AfterRequest({PeerStep::Send(
      "HTTP/1.0 200 OK\r\nContent-Type: multipart/x-mixed-replace; boundary=b\r\n\r\n" + c.body)}));
  auto client = httptest::NewClient(300);
  client->SetFirstPartOfStream(true);
  c.bound(*client);
  EXPECT_FALSE(client->ExecuteRequest("GET", httptest::PeerUrl(peer, "/video")));
  EXPECT_EQ(client->LimitExceeded(), c.limit_exceeded);
  EXPECT_FALSE(client->StreamPartRead());
}

INSTANTIATE_TEST_SUITE_P(
    Bounds, HttpStreamTest,
    ::testing::Values(
        StreamLimitCase{"PartLengthOverTheBodyBound", "--b\r\nContent-Length: 20\r\n\r\n0123456789",
                        [](THTTPClient& c) { c.SetMaxBodySize(10); }, true},
        StreamLimitCase{"PartWithoutLengthOverTheBodyBound", "--b\r\n\r\n" + std::string(64, 'x'),
                        [](THTTPClient& c) { c.SetMaxBodySize(32); }, true},
        StreamLimitCase{"EndlessPartHeaderLine", "--b\r\nX-Junk: " + std::string(200, 'x'),
                        [](THTTPClient& c) { c.SetMaxHeaderLineLength(64); }, true},
        StreamLimitCase{"StallsBeforeThePartEnds", "--b\r\nContent-Length: 20\r\n\r\n0123",
                        [](THTTPClient&) {}, false}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace tessaly
