#include "base/bytebuffer.h"

#include <algorithm>
#include <cstring>

namespace tessaly {

int64_t TByteBuffer::Seek(int64_t offset, TSeekOrigin origin) {
  int64_t base = 0;
  if (origin == TSeekOrigin::Current) base = position_;
  if (origin == TSeekOrigin::End) base = Size();
  position_ = std::max<int64_t>(0, base + offset);
  return position_;
}

void TByteBuffer::SetSize(int64_t size) {
  bytes_.resize(static_cast<size_t>(std::max<int64_t>(0, size)), '\0');
  position_ = std::min(position_, Size());
}

void TByteBuffer::Reserve(size_t capacity) {
  if (capacity <= bytes_.capacity()) return;
  if (capacity >= kBigBlockMin) capacity = std::max(capacity, SpareBlockSize());
  bytes_.reserve(capacity);
}

void TByteBuffer::Grow(size_t end) {
  // Doubling keeps a body written in many small pieces linear in its size.
  if (end > bytes_.capacity()) Reserve(std::max(end, bytes_.capacity() * 2));
}

char* TByteBuffer::Extend(size_t count) {
  const size_t at = bytes_.size();
  Grow(at + count);
  bytes_.resize(at + count);
  return bytes_.data() + at;
}

void TByteBuffer::Clear() {
  bytes_.clear();
  bytes_.shrink_to_fit();
  position_ = 0;
}

void TByteBuffer::Write(const void* data, size_t count) {
  if (count == 0) return;
  const size_t end = static_cast<size_t>(position_) + count;
  if (end > bytes_.size()) {
    Grow(end);
    // A gap between the old end and the position reads as zeros; the rest is copied over.
    if (static_cast<size_t>(position_) > bytes_.size()) bytes_.resize(position_, '\0');
    bytes_.resize(end);
  }
  std::memcpy(bytes_.data() + position_, data, count);
  position_ = static_cast<int64_t>(end);
}

size_t TByteBuffer::Read(void* data, size_t count) {
  if (position_ >= Size()) return 0;
  const size_t available = static_cast<size_t>(Size() - position_);
  const size_t n = std::min(count, available);
  if (n > 0) std::memcpy(data, bytes_.data() + position_, n);
  position_ += static_cast<int64_t>(n);
  return n;
}

TBytes TByteBuffer::Release() {
  TBytes out = std::move(bytes_);
  bytes_.clear();
  position_ = 0;
  return out;
}

void TByteBuffer::Adopt(TBytes&& bytes) {
  bytes_ = std::move(bytes);
  position_ = 0;
}

Text ReadTextFromStream(TByteBuffer& buffer, int64_t count) {
  if (count <= 0) return Text();
  const int64_t available = std::max<int64_t>(0, buffer.Size() - buffer.Position());
  Text text(static_cast<size_t>(std::min(count, available)), '\0');
  text.resize(buffer.Read(text.data(), text.size()));
  return text;
}

void WriteTextToStream(TByteBuffer& buffer, const Text& text) {
  buffer.Write(text);
}

}  // namespace tessaly
