#include "base/bigblock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "base/bytebuffer.h"

namespace tessaly {
namespace {

constexpr size_t kMiB = size_t{1} << 20;

class BigBlockTest : public ::testing::Test {
 protected:
  void SetUp() override { ReleaseSpareBlock(); }
  void TearDown() override { ReleaseSpareBlock(); }
};

TEST_F(BigBlockTest, FreedBlockServesTheNextBodyOfAboutItsSize) {
  char* first = AllocateBigBlock(10 * kMiB);
  std::memset(first, 'a', 10 * kMiB);
  FreeBigBlock(first);
  EXPECT_GE(SpareBlockSize(), 10 * kMiB);

  // A slightly larger body of the same series still fits the kept block.
  char* second = AllocateBigBlock(10 * kMiB + 300 * 1024);
  EXPECT_EQ(second, first);
  EXPECT_EQ(SpareBlockSize(), 0u);
  std::memset(second, 'b', 10 * kMiB + 300 * 1024);  // every byte asked for is writable
  FreeBigBlock(second);
}

struct FitCase {
  size_t kept;
  size_t asked;
  bool reused;
};

class BigBlockFitTest : public BigBlockTest, public ::testing::WithParamInterface<FitCase> {};

TEST_P(BigBlockFitTest, KeptBlockIsGivenOnlyToABufferItSuits) {
  const FitCase c = GetParam();
  char* kept = AllocateBigBlock(c.kept);
  FreeBigBlock(kept);
  const size_t spare = SpareBlockSize();
  char* block = AllocateBigBlock(c.asked);
  EXPECT_EQ(block == kept, c.reused);
  // A block not handed out stays kept for a better fit.
  EXPECT_EQ(SpareBlockSize(), c.reused ? 0u : spare);
  block[0] = 1;
  block[c.asked - 1] = 1;
  FreeBigBlock(block);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, BigBlockFitTest,
    ::testing::Values(FitCase{8 * kMiB, 8 * kMiB, true},        // the same size again
                      FitCase{8 * kMiB, 4 * kMiB, true},        // half: still worth it
                      FitCase{8 * kMiB, 2 * kMiB, false},       // a small buffer leaves it alone
                      FitCase{8 * kMiB, 16 * kMiB, false},      // too small for a larger body
                      FitCase{2 * kMiB, 2 * kMiB + 1, true}));  // headroom covers a few bytes

TEST_F(BigBlockTest, KeepsTheLargerOfTwoFreedBlocks) {
  char* small = AllocateBigBlock(2 * kMiB);
  char* large = AllocateBigBlock(20 * kMiB);
  FreeBigBlock(small);
  const size_t small_spare = SpareBlockSize();
  FreeBigBlock(large);
  EXPECT_GT(SpareBlockSize(), small_spare);
  EXPECT_EQ(AllocateBigBlock(20 * kMiB), large);
  FreeBigBlock(large);
  // A smaller block freed later does not displace it.
  char* other = AllocateBigBlock(2 * kMiB);
  FreeBigBlock(other);
  EXPECT_EQ(AllocateBigBlock(20 * kMiB), large);
  FreeBigBlock(large);
}

TEST_F(BigBlockTest, HugeBlockGoesBackToTheSystem) {
  // Only mapped, never touched: this costs address space, not memory.
  const size_t huge = kMaxSpareBlock;
  char* block = AllocateBigBlock(huge);
  FreeBigBlock(block);
  EXPECT_EQ(SpareBlockSize(), 0u);
}

TEST_F(BigBlockTest, ReleaseEmptiesTheKeptBlock) {
  FreeBigBlock(AllocateBigBlock(4 * kMiB));
  ASSERT_GT(SpareBlockSize(), 0u);
  ReleaseSpareBlock();
  EXPECT_EQ(SpareBlockSize(), 0u);
  ReleaseSpareBlock();  // nothing kept: nothing happens
}

TEST_F(BigBlockTest, ByteBufferOfASeriesReusesTheLastBodysMemory) {
  const char* first = nullptr;
  {
    TByteBuffer body;
    std::memset(body.Extend(6 * kMiB), 'x', 6 * kMiB);
    first = body.Memory();
  }
  TByteBuffer next;
  next.Reserve(6 * kMiB + 1000);
  EXPECT_EQ(next.Memory(), first);
  // Small buffers stay with the ordinary allocator and leave the kept block alone.
  TByteBuffer small;
  small.Write("abc", 3);
  EXPECT_NE(small.Memory(), first);
}

TEST_F(BigBlockTest, GrowingBufferMovesIntoTheKeptBlockOnceAndStaysThere) {
  const char* kept = nullptr;
  {
    TByteBuffer body;
    body.Extend(12 * kMiB);
    kept = body.Memory();
  }
  // A body of unknown length, arriving in packets: once past the small sizes it grows
  // straight into the kept block and is never copied again.
  TByteBuffer next;
  const Text packet(65536, 'p');
  while (next.Size() < static_cast<int64_t>(kBigBlockMin)) next.Write(packet);
  EXPECT_EQ(next.Memory(), kept);
  while (next.Size() < static_cast<int64_t>(12 * kMiB)) {
    next.Write(packet);
    ASSERT_EQ(next.Memory(), kept);
  }
  std::memcpy(next.Extend(packet.size()), packet.data(), packet.size());
  EXPECT_EQ(next.Memory(), kept);
  EXPECT_EQ(next.Size(), static_cast<int64_t>(12 * kMiB + packet.size()));
  EXPECT_EQ(next.Memory()[next.Size() - 1], 'p');
}

TEST_F(BigBlockTest, ConcurrentBuffersNeverShareABlock) {
  // Each thread fills its block with its own byte and checks it is still there before freeing:
  // a block handed to two threads at once shows up as a foreign byte.
  std::atomic<int> damaged{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &damaged] {
      const char mark = static_cast<char>('A' + t);
      for (int round = 0; round < 40; ++round) {
        const size_t size = (2 + static_cast<size_t>((round + t) % 3)) * kMiB;
        char* block = AllocateBigBlock(size);
        std::memset(block, mark, size);
        std::this_thread::yield();
        for (size_t i = 0; i < size; i += 4096) {
          if (block[i] != mark) {
            ++damaged;
            break;
          }
        }
        FreeBigBlock(block);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(damaged.load(), 0);
}

}  // namespace
}  // namespace tessaly
