#include "base/linelist.h"

#include <gtest/gtest.h>

#include <vector>

#include "base/bytebuffer.h"

namespace tessaly {
namespace {

struct SplitCase {
  Text text;
  std::vector<Text> lines;
};

class SetJoinedTextTest : public ::testing::TestWithParam<SplitCase> {};
TEST_P(SetJoinedTextTest, SplitsAtEveryLineEnd) {
  TLineList list;
  list.Add("stale");
  list.SetJoinedText(GetParam().text);
  EXPECT_EQ(list.Lines(), GetParam().lines);
}
INSTANTIATE_TEST_SUITE_P(
    Table, SetJoinedTextTest,
    ::testing::Values(SplitCase{"", {}}, SplitCase{"a", {"a"}}, SplitCase{"a\r\n", {"a"}},
                      SplitCase{"a\r\nb", {"a", "b"}}, SplitCase{"a\rb\r", {"a", "b"}},
                      SplitCase{"a\nb\n", {"a", "b"}}, SplitCase{"a\n\rb", {"a", "", "b"}},
                      SplitCase{"a\r\n\r\nb", {"a", "", "b"}}, SplitCase{"\r\n", {""}},
                      SplitCase{Text("a\r\nb\0c\r\nd", 9), {"a", "b"}},
                      SplitCase{Text("a\r\n\0b", 5), {"a"}}, SplitCase{Text("\0", 1), {}}));

TEST(LineListTest, JoinedTextEndsEveryLine) {
  TLineList list;
  EXPECT_EQ(list.JoinedText(), "");
  list.Add("a");
  list.Add("");
  list.InsertFirst("z");
  EXPECT_EQ(list.JoinedText(), "z\r\na\r\n\r\n");
  TLineList again;
  again.SetJoinedText(list.JoinedText());
  EXPECT_EQ(again.Lines(), list.Lines());
}

TEST(LineListTest, NameValueIgnoresCaseAndUsesFirstEquals) {
  TLineList list;
  list.Add("plain line");
  list.Add("Host=a=b");
  list.Add("host=second");
  EXPECT_EQ(list.IndexOfName("HOST"), 1);
  EXPECT_EQ(list.Value("host"), "a=b");
  EXPECT_EQ(list.IndexOfName("plain line"), -1) << "a line without '=' has no name";
  EXPECT_EQ(list.Value("missing"), "");

  list.SetValue("HOST", "c");
  EXPECT_EQ(list[1], "HOST=c");
  list.SetValue("new", "v");
  EXPECT_EQ(list[list.Count() - 1], "new=v");
  list.SetValue("host", "");
  EXPECT_EQ(list.Value("host"), "second") << "deleting removes only the first match";
  list.SetValue("absent", "");
  EXPECT_EQ(list.Count(), 3);
}

TEST(ByteBufferTest, WriteReadSeek) {
  TByteBuffer buffer;
  WriteTextToStream(buffer, "hello");
  EXPECT_EQ(buffer.Size(), 5);
  EXPECT_EQ(buffer.Position(), 5);
  buffer.SetPosition(1);
  EXPECT_EQ(ReadTextFromStream(buffer, 3), "ell");
  EXPECT_EQ(ReadTextFromStream(buffer, 100), "o") << "shortened to what was there";
  EXPECT_EQ(ReadTextFromStream(buffer, 100), "");
  buffer.SetPosition(3);
  buffer.Write("LOWORLD");
  EXPECT_EQ(Text(buffer.Memory(), static_cast<size_t>(buffer.Size())), "helLOWORLD");
  buffer.Seek(2, TSeekOrigin::End);
  buffer.Write("!");
  EXPECT_EQ(Text(buffer.Memory(), static_cast<size_t>(buffer.Size())), Text("helLOWORLD\0\0!", 13));
  buffer.Clear();
  EXPECT_EQ(buffer.Size(), 0);
  EXPECT_EQ(buffer.Position(), 0);
}

TEST(ByteBufferTest, GapsReadAsZerosAndExtendLeavesThePosition) {
  TByteBuffer buffer;
  buffer.Write("ab");
  buffer.SetSize(0);
  buffer.Write("xyz");
  buffer.SetPosition(6);
  buffer.Write("!");
  EXPECT_EQ(Text(buffer.Memory(), 7), Text("xyz\0\0\0!", 7)) << "the gap is zeros, not old bytes";
  buffer.SetPosition(2);
  char* tail = buffer.Extend(3);
  EXPECT_EQ(tail, buffer.Memory() + 7);
  EXPECT_EQ(buffer.Size(), 10);
  EXPECT_EQ(buffer.Position(), 2);
  buffer.SetSize(8);
  EXPECT_EQ(buffer.Size(), 8);
}

TEST(ByteBufferTest, ReleaseAndAdoptMoveWithoutCopy) {
  TByteBuffer buffer;
  buffer.Write("abc");
  const char* data = buffer.Memory();
  TBytes bytes = buffer.Release();
  EXPECT_EQ(bytes.data(), data);
  EXPECT_EQ(buffer.Size(), 0);
  TByteBuffer other;
  other.Adopt(std::move(bytes));
  EXPECT_EQ(other.Memory(), data);
  EXPECT_EQ(other.Position(), 0);
  EXPECT_EQ(ReadTextFromStream(other, 3), "abc");
}

}  // namespace
}  // namespace tessaly
