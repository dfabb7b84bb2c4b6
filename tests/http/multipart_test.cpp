// The first part of a stream, found by the reader whatever pieces the body comes in: each case
// is fed whole and one byte at a time.
#include "http/multipart.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace tessaly {
namespace {

// A picture with line feeds, dashes and near-boundaries inside, as compressed pictures have.
const std::string kFrame =
    std::string("\xFF\xD8\xFF\xE0\x00\x0Ejpeg\r\n--fram\xFF\xDA\x00\x02", 22) +
    "\n-frame-x\r\n--frame2\r\n\xFF\xD9";
// Its metadata holds a thumbnail that ends in FF D9, a line end and a line beginning with "--b".
const std::string kThumbFrame =
    std::string("\xFF\xD8\xFF\xE1\x00\x12\xFF\xD8thumb\xFF\xD9\r\n--bar\xFF\xDA\x00\x02", 26) +
    "\x12\x34\xFF\xD9";
const std::string kJpeg = "Content-Type: image/jpeg\r\n";
const std::string kNext = "\r\n--b\r\n" + kJpeg + "\r\n\xFF\xD8 second";

std::string Length(size_t size) {
  return "Content-Length: " + std::to_string(size) + "\r\n";
}

struct PartCase {
  std::string name;
  std::string boundary;  // as declared by the answer
  std::string body;
  std::string part;  // "" when the reader must not complete
  TPartLimit limit = TPartLimit::None;
  TPartLimits limits = {256 << 20, 64 << 10, 1 << 20};
};

void PrintTo(const PartCase& c, std::ostream* os) {
  *os << c.name;
}

class FirstPart : public ::testing::TestWithParam<PartCase> {};

TEST_P(FirstPart, IsFoundWholeAndByteByByte) {
  const PartCase& c = GetParam();
  for (const size_t piece : {c.body.size(), size_t{1}}) {
    TByteBuffer part;
    TFirstPartReader reader(c.boundary, part, c.limits);
    size_t fed = 0;
    while (fed < c.body.size() && !reader.Complete() && !reader.Breached()) {
      const size_t n = std::min(piece, c.body.size() - fed);
      reader.Feed(c.body.data() + fed, n);
      fed += n;
    }
    SCOPED_TRACE(piece);
    EXPECT_EQ(reader.LimitMet(), c.limit);
    if (c.limit == TPartLimit::Undelimited) {
      EXPECT_EQ(part.Size(), TFirstPartReader::kMaxUndelimitedPart + 1);
    }
    if (c.part.empty()) {
      EXPECT_FALSE(reader.Complete());
      continue;
    }
    ASSERT_TRUE(reader.Complete());
    EXPECT_EQ(std::string(part.Memory(), static_cast<size_t>(part.Size())), c.part);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Streams, FirstPart,
    ::testing::Values(
        PartCase{"JpegWithoutBoundaryOrLength", "", kFrame + "\r\n--myboundary\r\n", kFrame},
        PartCase{"JpegAfterHeadersEndsBeforeAnyDashLine", "", kJpeg + "\r\n" + kFrame + "\n--x",
                 kFrame},
        PartCase{"DeclaredBoundaryNeverSent", "foo", "--bar\r\n" + kJpeg + "\r\n" + kFrame + kNext,
                 kFrame},
        PartCase{"SentBoundaryDelimitsOtherParts", "foo", "--bar\r\n\r\nhello\r\n--bar\r\n",
                 "hello"},
        PartCase{"EmptyPartsAreSkipped", "b",
                 "--b\r\n--b\r\n" + Length(0) + "\r\n\r\n--b\r\n\r\n\r\n--b\r\n" + kJpeg + "\r\n" +
                     kFrame + kNext,
                 kFrame},
        PartCase{"LengthTooShort", "b",
                 "--b\r\n" + Length(kFrame.size() - 5) + "\r\n" + kFrame + kNext, kFrame},
        PartCase{"LengthTooLong", "b",
                 "--b\r\n" + Length(kFrame.size() + 20) + "\r\n" + kFrame + kNext, kFrame},
        PartCase{"LengthWithLineEndAfterTheMarker", "b",
                 "--b\r\n" + Length(kFrame.size() + 2) + "\r\n" + kFrame + kNext, kFrame + "\r\n"},
        PartCase{"BoundaryAmongHeadersStartsAPartAfresh", "b",
                 "--b\r\n" + Length(3) + "--b\r\n\r\nhello\r\n--b\r\n", "hello"},
        PartCase{"EmptyPartWithABoundaryBeginningWithFFD8", "b", "--\xFF\xD8\r\n\r\n\xFF\xD8\r\n",
                 ""},
        PartCase{"DeclaredBoundaryBeginningWithFFD8", "\xFF\xD8x",
                 "\xFF\xD8x\r\n\r\n\xFF\xD8x\r\n\r\n" + kFrame + "\r\n\xFF\xD8x\r\n", kFrame},
        PartCase{"FloodOfEmptyParts", "b",
                 [] {
                   std::string flood;
                   for (int i = 0; i < 20000; ++i) flood += "--b\n\n";
                   return flood;
                 }() +
                     "--b\r\n\r\n" + kFrame + kNext,
                 kFrame},
        PartCase{"PartOfBlankLinesOnly", "b",
                 "--b\r\n\r\n\r\n\r\n\n\r\n--b\r\n\r\n" + kFrame + kNext, kFrame},
        PartCase{"ThumbnailEndWithoutLength", "b", "--b\r\n\r\n" + kThumbFrame + kNext,
                 kThumbFrame},
        PartCase{
            "LengthEndsAtTheThumbnail", "b",
            "--b\r\n" + Length(kThumbFrame.find("\xFF\xD9") + 2) + "\r\n" + kThumbFrame + kNext,
            kThumbFrame},
        PartCase{"PreambleLineBeginningWithDashes", "b",
                 "-- stream starts --\r\n--b\r\n\r\n" + kFrame + "\r\n\r\n--b\r\n", kFrame},
        PartCase{"BareDashesLine", "b", "--\r\n--b\r\n\r\n" + kFrame + "\r\n\r\n--b\r\n", kFrame},
        PartCase{"LongPartHeaderLine", "b", "--b\r\nX: " + std::string(70000, 'a') + "\r\n\r\n", "",
                 TPartLimit::LineLength},
        // Each bound is met only past it: a header line (its CR counted) and a part exactly
        // at theirs pass.
        PartCase{"PartHeaderLineAtTheBound", "b",
                 "--b\r\nX: " + std::string((64 << 10) - 4, 'a') + "\r\n\r\nhello\r\n--b\r\n",
                 "hello"},
        PartCase{"PartAtTheBound",
                 "b",
                 "--b\r\n\r\n" + std::string(16, 'x') + "\r\n--b\r\n",
                 std::string(16, 'x'),
                 TPartLimit::None,
                 {16, 64 << 10, 1 << 20}},
        PartCase{"BoundaryBeginningWithFFD8AmongPartHeaders", "\xFF\xD8x",
                 "\xFF\xD8x\r\nContent-Length: 1\r\n\xFF\xD8x\r\n\r\nhello\r\n\xFF\xD8x\r\n",
                 "hello"},
        PartCase{"PictureEndBeforeALineOfOneDash", "b",
                 "--b\r\n\r\n" +
                     std::string("\xFF\xD8\xFF\xDA\x00\x02"
                                 "abc\xFF\xD9",
                                 11) +
                     "\r\n-x\r\nmore\r\n--b\r\n",
                 std::string("\xFF\xD8\xFF\xDA\x00\x02"
                             "abc\xFF\xD9",
                             11) +
                     "\r\n-x\r\nmore"},
        PartCase{"LargePartHeaderBlock", "b",
                 "--b\r\n" +
                     [] {
                       std::string lines;
                       for (int i = 0; i < 20; ++i)
                         lines += "X: " + std::string(60000, 'a') + "\r\n";
                       return lines;
                     }(),
                 "", TPartLimit::HeaderSize},
        PartCase{"LengthBeyondThePartBound", "b", "--b\r\n" + Length(size_t{300} << 20) + "\r\n",
                 "", TPartLimit::PartSize},
        PartCase{
            "NeverDelimited", "b",
            "--b\r\n\r\n\xFF\xD8" + std::string(TFirstPartReader::kMaxUndelimitedPart + 1024, 'x'),
            "", TPartLimit::Undelimited}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace tessaly
