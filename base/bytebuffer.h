// A growable in-memory byte stream with a size and a position.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "base/bigblock.h"
#include "base/text.h"

namespace tessaly {

enum class TSeekOrigin { Beginning, Current, End };

// Leaves new elements uninitialised: a body received into a grown buffer overwrites them at
// once, and zero-filling a large body first would cost as much as receiving it. Large buffers
// take big blocks, which reuse the memory of the last large body freed.
template <typename T>
struct TNoInitAllocator : std::allocator<T> {
  template <typename U>
  struct rebind {
    using other = TNoInitAllocator<U>;
  };
  using std::allocator<T>::allocator;
  T* allocate(size_t count) {
    if (count >= kBigBlockMin / sizeof(T) && count <= SIZE_MAX / sizeof(T)) {
      return reinterpret_cast<T*>(AllocateBigBlock(count * sizeof(T)));
    }
    return std::allocator<T>::allocate(count);
  }
  void deallocate(T* place, size_t count) noexcept {
    if (count >= kBigBlockMin / sizeof(T) && count <= SIZE_MAX / sizeof(T)) {
      FreeBigBlock(reinterpret_cast<char*>(place));
    } else {
      std::allocator<T>::deallocate(place, count);
    }
  }
  template <typename U>
  void construct(U* place) noexcept {
    ::new (static_cast<void*>(place)) U;
  }
  template <typename U, typename... Args>
  void construct(U* place, Args&&... args) {
    ::new (static_cast<void*>(place)) U(std::forward<Args>(args)...);
  }
};

// The bytes of a buffer, handed over whole by Release and Adopt.
using TBytes = std::vector<char, TNoInitAllocator<char>>;

class TByteBuffer {
 public:
  int64_t Size() const { return static_cast<int64_t>(bytes_.size()); }
  int64_t Position() const { return position_; }
  // Moves the position; it may lie beyond the end (a later write fills the gap with zeros).
  // Answers the new position.
  int64_t Seek(int64_t offset, TSeekOrigin origin);
  void SetPosition(int64_t position) { Seek(position, TSeekOrigin::Beginning); }
  // Truncates or extends (with zeros); the position is kept but clamped to the new size.
  void SetSize(int64_t size);
  // Grows the size by count bytes left for the caller to fill (not zeroed); answers where they
  // start. The position does not move. A caller that fills fewer calls SetSize to cut back.
  char* Extend(size_t count);
  void Clear();
  // Writes count bytes at the position, growing as needed, and advances the position.
  void Write(const void* data, size_t count);
  void Write(const Text& text) { Write(text.data(), text.size()); }
  // Reads up to count bytes from the position; answers how many were read.
  size_t Read(void* data, size_t count);
  // Direct access to the whole memory, Size() bytes.
  const char* Memory() const { return bytes_.data(); }
  char* Memory() { return bytes_.data(); }
  // Hands the bytes over without copying; the buffer is left empty.
  TBytes Release();
  // Takes bytes over without copying; the position goes to 0.
  void Adopt(TBytes&& bytes);
  // Reserves room for at least `capacity` bytes without changing the size (a hint; never
  // required). A large buffer takes the whole kept block when that is big enough: its pages
  // are in memory already, and growing within it never copies.
  void Reserve(size_t capacity);

 private:
  // Makes room for `end` bytes in all.
  void Grow(size_t end);

  TBytes bytes_;
  int64_t position_ = 0;
};

// Reads up to count bytes from the buffer's position into a new text, as long as what was read.
Text ReadTextFromStream(TByteBuffer& buffer, int64_t count);
// Writes all bytes of text at the buffer's position.
void WriteTextToStream(TByteBuffer& buffer, const Text& text);

}  // namespace tessaly
