// Memory for large byte buffers, with the last one freed kept for reuse.
//
// A picture series fetches bodies of about the same size again and again. Fresh memory costs
// a page fault per page on its first touch, which for a large body takes as long as receiving
// the body; so the memory of the largest body freed lately is kept and given to the next
// buffer it suits. Small buffers are left to the ordinary allocator.
#pragma once

#include <cstddef>

namespace tessaly {

// Buffers of this many bytes or more are big blocks.
constexpr size_t kBigBlockMin = size_t{1} << 20;
// A freed block whose mapping is larger than this is returned to the system at once.
constexpr size_t kMaxSpareBlock = size_t{320} << 20;

// Page-aligned memory for at least `size` bytes (size >= kBigBlockMin), uninitialised: it may
// hold an earlier buffer's bytes. Throws std::bad_alloc when the system has none.
char* AllocateBigBlock(size_t size);
// Gives back a block from AllocateBigBlock.
void FreeBigBlock(char* block) noexcept;
// Bytes the kept block offers to a buffer, 0 when none is kept.
size_t SpareBlockSize();
// Returns the kept block to the system (a series that stops needs it no longer).
void ReleaseSpareBlock() noexcept;
// Bytes of address space the big blocks hold now, the kept one included: what they reserve,
// whether or not its pages have been touched.
size_t BigBlockBytesMapped();

}  // namespace tessaly
