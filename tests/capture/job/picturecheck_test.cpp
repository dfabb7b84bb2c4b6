// The marker checks on whole pictures, cut ones and the traps inside them.
#include "capture/job/picturecheck.h"

#include <gtest/gtest.h>

#include "support/samplepictures.h"

namespace tessaly {
namespace {

struct PictureCase {
  const char* name;
  std::string bytes;
  const char* fault;  // PictureFault with the type "text/html; charset=utf-8"
  bool whole_jpeg;
};

void PrintTo(const PictureCase& row, std::ostream* os) {
  *os << row.name;
}

class PictureCheckTest : public testing::TestWithParam<PictureCase> {};

TEST_P(PictureCheckTest, JudgesByMarkers) {
  const std::string& b = GetParam().bytes;
  EXPECT_EQ(PictureFault(b.data(), b.size(), "text/html; charset=utf-8"), GetParam().fault);
  EXPECT_EQ(IsWholeJpeg(b.data(), b.size()), GetParam().whole_jpeg);
}

const std::string kJpeg = SampleJpeg();
// Cut right after the thumbnail's end-of-image marker inside the metadata.
const std::string kJpegCutAfterThumbnail = kJpeg.substr(0, 6 + 6 + 9);
const std::string kNextPart = "\r\n--frame\r\nContent-Type: image/jpeg\r\n\r\n";
const std::string kSecondScan =
    std::string("\xFF\xC4\x00\x04\xFF\xD9\xFF\xDA\x00\x08\x01\x01\x00\x00\x3F\x00\x9A\xFF\xD9", 19);
const char kNoEnd[] = "incomplete JPEG: no end-of-image marker";

INSTANTIATE_TEST_SUITE_P(
    Table, PictureCheckTest,
    testing::Values(
        PictureCase{"Jpeg", kJpeg, "", true},
        PictureCase{"JpegWithLineEnd", kJpeg + "\r\n", "", true},
        PictureCase{"JpegWithAppendedBytes", kJpeg + std::string(3, '\0'), "", false},
        // A stream's next part, cut before its picture began.
        PictureCase{"JpegThenPartHeaders", kJpeg + kNextPart,
                    "not one picture: 35 bytes after the JPEG's end-of-image marker", false},
        // A damaged stream's parts run together, MIME headers and all.
        PictureCase{"JpegPartsRunTogether", kJpeg + kNextPart + SampleJpeg(0x34) + "\r\n",
                    "not one picture: 80 bytes after the JPEG's end-of-image marker", false},
        // A progressive picture's second scan comes after a segment holding FF D9.
        PictureCase{"JpegOfTwoScans", kJpeg.substr(0, kJpeg.size() - 2) + kSecondScan, "", true},
        PictureCase{"JpegCutInCodedData", kJpeg.substr(0, kJpeg.size() - 3), kNoEnd, false},
        PictureCase{"JpegCutAfterThumbnail", kJpegCutAfterThumbnail, kNoEnd, false},
        PictureCase{"Png", SamplePng() + "x", "", false},
        PictureCase{"PngEndingAtItsIend", SamplePng(), "", false},
        PictureCase{"PngCut", SamplePng().substr(0, SamplePng().size() - 1),
                    "incomplete PNG: no IEND chunk", false},
        PictureCase{"Gif", SampleGif(), "", false},
        PictureCase{"GifCutAfterATrailerByteInItsData",
                    SampleGif().substr(0, SampleGif().size() - 3), "incomplete GIF: no trailer",
                    false},
        PictureCase{"Webp", SampleWebp(), "", false},
        PictureCase{"WebpCut", SampleWebp().substr(0, 20),
                    "WebP of the wrong length: RIFF says 26 bytes, 20 arrived", false},
        PictureCase{"WebpWithoutAnImageChunk", std::string("RIFF\x04\0\0\0WEBP", 12),
                    "incomplete WebP: no VP8, VP8L or VP8X chunk", false},
        PictureCase{"Page", "<html></html>", "not a picture: text/html, 13 bytes", false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tessaly
