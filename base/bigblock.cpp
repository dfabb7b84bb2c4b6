#include "base/bigblock.h"

#include <sys/mman.h>

#include <atomic>
#include <mutex>
#include <new>
#include <utility>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define TESSALY_POISON(address, size) ASAN_POISON_MEMORY_REGION(address, size)
#define TESSALY_UNPOISON(address, size) ASAN_UNPOISON_MEMORY_REGION(address, size)
#else
#define TESSALY_POISON(address, size) ((void)(address), (void)(size))
#define TESSALY_UNPOISON(address, size) ((void)(address), (void)(size))
#endif

namespace tessaly {
namespace {

// The first page of a mapping holds its length and keeps the buffer itself page-aligned.
constexpr size_t kHeader = 4096;
constexpr size_t kGranule = size_t{64} << 10;

struct TBlockHeader {
  size_t mapped;
};

// One kept mapping, or none; guarded by its mutex, since every worker thread frees bodies.
struct TSpare {
  std::mutex lock;
  char* base = nullptr;
  size_t mapped = 0;
};

std::atomic<size_t> g_mapped{0};

TSpare& Spare() {
  static TSpare spare;
  return spare;
}

// An eighth of headroom lets the next, slightly larger body of a series fit the same block;
// pages never touched cost no memory.
size_t MappingFor(size_t size) {
  const size_t want = size + size / 8 + kHeader;
  return (want + kGranule - 1) / kGranule * kGranule;
}

size_t Usable(size_t mapped) {
  return mapped - kHeader;
}

// A kept block serves a buffer that needs no more than it has and at least a quarter of it,
// so that a small buffer does not hold a large block while a large body maps a new one.
bool Suits(size_t mapped, size_t size) {
  return size <= Usable(mapped) && size >= Usable(mapped) / 4;
}

char* Hand(char* base, size_t size) {
  const size_t mapped = reinterpret_cast<TBlockHeader*>(base)->mapped;
  char* block = base + kHeader;
  TESSALY_UNPOISON(block, size);
  TESSALY_POISON(block + size, Usable(mapped) - size);
  return block;
}

void Unmap(char* base, size_t mapped) noexcept {
  if (base == nullptr) return;
  TESSALY_UNPOISON(base + kHeader, Usable(mapped));
  ::munmap(base, mapped);
  g_mapped -= mapped;
}

}  // namespace

char* AllocateBigBlock(size_t size) {
  TSpare& spare = Spare();
  {
    std::lock_guard<std::mutex> hold(spare.lock);
    if (spare.base != nullptr && Suits(spare.mapped, size)) {
      char* base = spare.base;
      spare.base = nullptr;
      spare.mapped = 0;
      return Hand(base, size);
    }
  }
  const size_t mapped = MappingFor(size);
  if (mapped < size) throw std::bad_alloc();  // wrapped around
  void* base = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (base == MAP_FAILED) throw std::bad_alloc();
  g_mapped += mapped;
  reinterpret_cast<TBlockHeader*>(base)->mapped = mapped;
  return Hand(static_cast<char*>(base), size);
}

void FreeBigBlock(char* block) noexcept {
  if (block == nullptr) return;
  char* base = block - kHeader;
  size_t mapped = reinterpret_cast<TBlockHeader*>(base)->mapped;
  if (mapped <= kMaxSpareBlock) {
    // Keep the larger of the kept and the freed block; the other goes back to the system.
    TSpare& spare = Spare();
    std::lock_guard<std::mutex> hold(spare.lock);
    if (mapped > spare.mapped) {
      std::swap(base, spare.base);
      std::swap(mapped, spare.mapped);
      TESSALY_POISON(spare.base + kHeader, Usable(spare.mapped));
    }
  }
  Unmap(base, mapped);
}

size_t SpareBlockSize() {
  TSpare& spare = Spare();
  std::lock_guard<std::mutex> hold(spare.lock);
  return spare.base == nullptr ? 0 : Usable(spare.mapped);
}

void ReleaseSpareBlock() noexcept {
  TSpare& spare = Spare();
  char* base = nullptr;
  size_t mapped = 0;
  {
    std::lock_guard<std::mutex> hold(spare.lock);
    std::swap(base, spare.base);
    std::swap(mapped, spare.mapped);
  }
  Unmap(base, mapped);
}

size_t BigBlockBytesMapped() {
  return g_mapped.load();
}

}  // namespace tessaly
