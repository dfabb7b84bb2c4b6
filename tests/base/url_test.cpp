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
        UrlCase{"rtsp://cam/x", {"rtsp", "", "", "cam", "554", "/x", "", "/x"}},
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

// RFC 3986, section 5.4: every normal and abnormal example, against its base.
TEST(ResolveReferenceTest, Rfc3986Examples) {
  const char* const kBase = "http://a/b/c/d;p?q";
  const std::pair<const char*, const char*> kExamples[] = {
      {"g:h", "g:h"},
      {"g", "http://a/b/c/g"},
      {"./g", "http://a/b/c/g"},
      {"g/", "http://a/b/c/g/"},
      {"/g", "http://a/g"},
      {"//g", "http://g"},
      {"?y", "http://a/b/c/d;p?y"},
      {"g?y", "http://a/b/c/g?y"},
      {"#s", "http://a/b/c/d;p?q#s"},
      {"g#s", "http://a/b/c/g#s"},
      {"g?y#s", "http://a/b/c/g?y#s"},
      {";x", "http://a/b/c/;x"},
      {"g;x", "http://a/b/c/g;x"},
      {"g;x?y#s", "http://a/b/c/g;x?y#s"},
      {"", "http://a/b/c/d;p?q"},
      {".", "http://a/b/c/"},
      {"./", "http://a/b/c/"},
      {"..", "http://a/b/"},
      {"../", "http://a/b/"},
      {"../g", "http://a/b/g"},
      {"../..", "http://a/"},
      {"../../", "http://a/"},
      {"../../g", "http://a/g"},
      // Abnormal examples (section 5.4.2), strict parser.
      {"../../../g", "http://a/g"},
      {"../../../../g", "http://a/g"},
      {"/./g", "http://a/g"},
      {"/../g", "http://a/g"},
      {"g.", "http://a/b/c/g."},
      {".g", "http://a/b/c/.g"},
      {"g..", "http://a/b/c/g.."},
      {"..g", "http://a/b/c/..g"},
      {"./../g", "http://a/b/g"},
      {"./g/.", "http://a/b/c/g/"},
      {"g/./h", "http://a/b/c/g/h"},
      {"g/../h", "http://a/b/c/h"},
      {"g;x=1/./y", "http://a/b/c/g;x=1/y"},
      {"g;x=1/../y", "http://a/b/c/y"},
      {"g?y/./x", "http://a/b/c/g?y/./x"},
      {"g?y/../x", "http://a/b/c/g?y/../x"},
      {"g#s/./x", "http://a/b/c/g#s/./x"},
      {"g#s/../x", "http://a/b/c/g#s/../x"},
      {"http:g", "http:g"}};
  for (const auto& [reference, target] : kExamples)
    EXPECT_EQ(ResolveReference(kBase, reference), target) << reference;
}

// A Location becomes the next address: against the address's own absolute form, without
// fragment or user information, unsafe bytes escaped; no address for another scheme.
TEST(LocationAddressTest, NextAddress) {
  const TAddress base = ParseAddress("http://u:p@[::1]:8080/cam/a.jpg?x=1");
  const std::pair<const char*, const char*> kCases[] = {
      {"b.jpg", "http://[::1]:8080/cam/b.jpg"},
      {"  ../p/./b.jpg#top", "http://[::1]:8080/p/b.jpg"},
      {"//cam2", "http://cam2/"},
      {"https://evil:x@cam2:443?q", "https://cam2:443/?q"},
      {"/a b\r\n\xC3\xA9", "http://[::1]:8080/a%20b%0D%0A%C3%A9"},
      {"ftp://cam2/x", nullptr},
      {"http:x", nullptr},
      {"http://u@/x", nullptr}};
  for (const auto& [location, want] : kCases) {
    const std::optional<TAddress> got = LocationAddress(base, location);
    ASSERT_EQ(got.has_value(), want != nullptr) << location;
    if (!got) continue;
    EXPECT_EQ(got->Given, want) << location;
    EXPECT_EQ(got->Parts.user, "") << location;
  }
  EXPECT_EQ(OriginOf(base), "http://::1:8080");
  EXPECT_EQ(OriginOf(ParseAddress("HTTPS://Cam/x")), "https://cam:443");
}

}  // namespace
}  // namespace tessaly
