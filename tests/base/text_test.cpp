#include "base/text.h"

#include <gtest/gtest.h>

#include <climits>

namespace tessaly {
namespace {

struct IntCase {
  const char* input;
  bool ok;
  int32_t value;
};

class ParseIntTest : public ::testing::TestWithParam<IntCase> {};

TEST_P(ParseIntTest, AcceptsExactlyTheIntegerForms) {
  const IntCase& c = GetParam();
  int32_t value = 12345;
  EXPECT_EQ(TryParseInt(c.input, value), c.ok) << '"' << c.input << '"';
  EXPECT_EQ(ParseIntDefault(c.input, -77), c.ok ? c.value : -77) << '"' << c.input << '"';
  if (c.ok) {
    EXPECT_EQ(value, c.value);
    EXPECT_EQ(StrToInt(c.input), c.value);
  } else {
    EXPECT_THROW(StrToInt(c.input), EConvertError);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Forms, ParseIntTest,
    ::testing::Values(IntCase{"0", true, 0}, IntCase{"42", true, 42}, IntCase{"-5", true, -5},
                      IntCase{"+7", true, 7}, IntCase{"   12", true, 12}, IntCase{"007", true, 7},
                      IntCase{"2147483647", true, INT32_MAX},
                      IntCase{"-2147483648", true, INT32_MIN}, IntCase{"2147483648", false, 0},
                      IntCase{"-2147483649", false, 0}, IntCase{"99999999999999999999", false, 0},
                      IntCase{"$1a", true, 26}, IntCase{"$1A", true, 26},
                      IntCase{"$FFFFFFFF", true, -1}, IntCase{"$000000000FF", true, 255},
                      IntCase{"$100000000", false, 0}, IntCase{"$7FFFFFFF", true, INT32_MAX},
                      IntCase{"$80000000", true, INT32_MIN}, IntCase{"", false, 0},
                      IntCase{"   ", false, 0}, IntCase{"-", false, 0}, IntCase{"+", false, 0},
                      IntCase{"$", false, 0}, IntCase{"-$1", false, 0}, IntCase{"1 ", false, 0},
                      IntCase{"1a", false, 0}, IntCase{"0x10", false, 0}, IntCase{"\t1", false, 0},
                      IntCase{"1.0", false, 0}, IntCase{"$G", false, 0}, IntCase{"- 1", false, 0}));

TEST(StrToIntTest, ErrorTextNamesTheWholeInput) {
  try {
    StrToInt(" 1x");
    FAIL() << "no exception";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "' 1x' is not a valid integer value");
  }
  try {
    StrToInt("");
    FAIL() << "no exception";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'' is not a valid integer value");
  }
}

TEST(IntToTextTest, DecimalWithoutPlusOrLeadingZeros) {
  EXPECT_EQ(IntToText(0), "0");
  EXPECT_EQ(IntToText(-1), "-1");
  EXPECT_EQ(IntToText(INT32_MIN), "-2147483648");
  EXPECT_EQ(IntToText(123456789), "123456789");
}

TEST(FindTest, OneBasedAndZeroForEmpty) {
  EXPECT_EQ(Find("b", "abc"), 2);
  EXPECT_EQ(Find("abc", "abc"), 1);
  EXPECT_EQ(Find("x", "abc"), 0);
  EXPECT_EQ(Find("", "abc"), 0);
  EXPECT_EQ(Find("a", ""), 0);
  EXPECT_EQ(Find("B", "abc"), 0);
}

TEST(CaseTest, OnlyAsciiLettersChange) {
  const Text mixed = "aZ09-\xE4\xC4";
  EXPECT_EQ(UpperAscii(mixed), "AZ09-\xE4\xC4");
  EXPECT_EQ(LowerAscii(mixed), "az09-\xE4\xC4");
}

TEST(TrimTest, BlanksAndSpacesAreDifferent) {
  EXPECT_EQ(TrimBlanks("\t\r\n x \x01"), "x");
  EXPECT_EQ(TrimBlanks("\xA0x\xA0"), "\xA0x\xA0");
  EXPECT_EQ(TrimSpaces("  \tx  "), "\tx");
  EXPECT_EQ(TrimSpacesLeft("  x  "), "x  ");
  EXPECT_EQ(TrimSpacesRight("  x  "), "  x");
  EXPECT_EQ(TrimSpaces("   "), "");
}

struct SplitCase {
  const char* value;
  const char* delimiter;
  const char* before;
  const char* after;
  const char* cut_rest;
};

class BeforeAfterTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(BeforeAfterTest, SplitsAtTheFirstDelimiter) {
  const SplitCase& c = GetParam();
  EXPECT_EQ(TextBefore(c.value, c.delimiter), c.before);
  EXPECT_EQ(TextAfter(c.value, c.delimiter), c.after);
  Text value = c.value;
  EXPECT_EQ(CutToken(value, c.delimiter), c.before);
  EXPECT_EQ(value, c.cut_rest);
}

INSTANTIATE_TEST_SUITE_P(Table, BeforeAfterTest,
                         ::testing::Values(SplitCase{"a:b:c", ":", "a", "b:c", "b:c"},
                                           SplitCase{"abc", ":", "abc", "abc", ""},
                                           SplitCase{":x", ":", "", "x", "x"},
                                           SplitCase{"x:", ":", "x", "", ""},
                                           SplitCase{"a::b", "::", "a", "b", "b"},
                                           SplitCase{"", ":", "", "", ""}));

TEST(CutTrimmedTokenTest, TrimsBothSides) {
  Text value = " 1 . 2 . 3 ";
  EXPECT_EQ(CutTrimmedToken(value, "."), "1");
  EXPECT_EQ(value, "2 . 3");
}

struct LineEndCase {
  const char* text;
  int position;
  const char* terminator;
};

class FindLineEndTest : public ::testing::TestWithParam<LineEndCase> {};

TEST_P(FindLineEndTest, FindsFirstTerminator) {
  const LineEndCase& c = GetParam();
  Text terminator = "junk";
  EXPECT_EQ(FindLineEnd(c.text, terminator), c.position) << c.text;
  EXPECT_EQ(terminator, c.terminator);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FindLineEndTest,
    ::testing::Values(LineEndCase{"abc", -1, ""}, LineEndCase{"", -1, ""},
                      LineEndCase{"ab\r\ncd", 3, "\r\n"}, LineEndCase{"ab\n\rcd", 3, "\n\r"},
                      LineEndCase{"ab\ncd", 3, "\n"}, LineEndCase{"ab\rcd", 3, "\r"},
                      LineEndCase{"ab\r", 3, "\r"}, LineEndCase{"ab\n", 3, "\n"},
                      LineEndCase{"\r\r\n", 1, "\r"}, LineEndCase{"\n\n", 1, "\n"}));

// What reaches a terminal or the journal: one line, no escape sequence, UTF-8 only.
TEST(PrintableTextTest, EscapesControlsBackslashAndWhatIsNotUtf8) {
  const std::pair<Text, Text> rows[] = {
      {"gate 200 OK", "gate 200 OK"},
      {"x\n<0>INJECTED", "x\\x0a<0>INJECTED"},
      {"\x1b]0;title\x07\x7f\t\r", "\\x1b]0;title\\x07\\x7f\\x09\\x0d"},
      {Text("a\0b", 3), "a\\x00b"},
      {"C:\\x0a", "C:\\x5cx0a"},
      {"S\xc3\xbc\x64 \xe2\x82\xac \xf0\x9f\x93\xb7 \xc2\xa0",
       "S\xc3\xbc\x64 \xe2\x82\xac \xf0\x9f\x93\xb7 \xc2\xa0"},
      {"\xc2\x9b"
       "2J \x9b",
       "\\xc2\\x9b2J \\x9b"},  // C1 as UTF-8 and raw
      {"\xe4\xc0\xaf\xed\xa0\x80\xf4\x90\x80\x80\xe2\x82",
       "\\xe4\\xc0\\xaf\\xed\\xa0\\x80\\xf4\\x90\\x80\\x80\\xe2\\x82"},
  };
  for (const auto& [text, shown] : rows) EXPECT_EQ(PrintableText(text), shown) << shown;
}

}  // namespace
}  // namespace tessaly
