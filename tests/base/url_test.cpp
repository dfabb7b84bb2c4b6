#include "base/url.h"

#include <gtest/gtest.h>

namespace tessaly {
namespace {

struct UrlCase {
  const char* url;
  TUrlParts want;
};

class SplitUrlTest : public ::testing::TestWithParam<UrlCase> {};

TEST_P(SplitUrlTest, SplitsAsWritten) {
  const UrlCase& c = GetParam();
  const TUrlParts got = SplitUrl(c.url);
  EXPECT_EQ(got.scheme, c.want.scheme) << c.url;
  EXPECT_EQ(got.user, c.want.user) << c.url;
  EXPECT_EQ(got.password, c.want.password) << c.url;
  EXPECT_EQ(got.host, c.want.host) << c.url;
  EXPECT_EQ(got.port, c.want.port) << c.url;
  EXPECT_EQ(got.path, c.want.path) << c.url;
  EXPECT_EQ(got.query, c.want.query) << c.url;
  EXPECT_EQ(got.uri, c.want.uri) << c.url;
}

// scheme, user, password, host, port, path, query, uri
INSTANTIATE_TEST_SUITE_P(
    Forms, SplitUrlTest,
    ::testing::Values(
        UrlCase{"camera", {"http", "", "", "camera", "80", "/", "", "/"}},
        UrlCase{"http://cam/image.jpg",
                {"http", "", "", "cam", "80", "/image.jpg", "", "/image.jpg"}},
        UrlCase{"https://cam/x", {"https", "", "", "cam", "443", "/x", "", "/x"}},
        UrlCase{"HTTPS://cam/x", {"HTTPS", "", "", "cam", "443", "/x", "", "/x"}},
        UrlCase{"FtP://cam/x", {"FtP", "", "", "cam", "21", "/x", "", "/x"}},
        UrlCase{"rtsp://cam/x", {"rtsp", "", "", "cam", "80", "/x", "", "/x"}},
        UrlCase{"http://u:p:q@cam/", {"http", "u", "p:q", "cam", "80", "/", "", "/"}},
        UrlCase{"http://user@cam/", {"http", "user", "", "cam", "80", "/", "", "/"}},
        UrlCase{"http://cam/a@b", {"http", "", "", "cam", "80", "/a@b", "", "/a@b"}},
        UrlCase{"http://[::1]:8080/p", {"http", "", "", "::1", "8080", "/p", "", "/p"}},
        UrlCase{"http://[::1/p", {"http", "", "", "::1", "80", "/p", "", "/p"}},
        UrlCase{"http://[::1]/p", {"http", "", "", "::1", "80", "/p", "", "/p"}},
        UrlCase{"http://h:1:2/", {"http", "", "", "h", "1:2", "/", "", "/"}},
        UrlCase{"x:///y", {"x", "", "", "localhost", "80", "/y", "", "/y"}},
        UrlCase{"http://cam:81/snap.cgi?w=1&h=2",
                {"http", "", "", "cam", "81", "/snap.cgi", "w=1&h=2", "/snap.cgi?w=1&h=2"}},
        UrlCase{"http://cam/a%20b#frag",
                {"http", "", "", "cam", "80", "/a%20b#frag", "", "/a%20b#frag"}},
        UrlCase{"http://cam/a://b", {"http", "", "", "cam", "80", "/a://b", "", "/a://b"}},
        UrlCase{"http://", {"http", "", "", "localhost", "80", "/", "", "/"}}));

}  // namespace
}  // namespace tessaly
