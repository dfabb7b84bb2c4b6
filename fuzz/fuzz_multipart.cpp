// The first part of a stream body: whatever the bytes and wherever the pieces are cut, the
// reader must find the same part as when it is given the body whole and one byte at a time,
// and a complete part must keep to the bounds.
//
// Input: Content-Type value length byte, the value; body bound byte; piece plan (see
// fuzzsupport.h); the body.
#include <cstdint>

#include "fuzz/fuzzsupport.h"
#include "http/multipart.h"

namespace {

constexpr char kTarget[] = "multipart";

using tessaly::Text;

struct TResult {
  bool complete = false;
  bool breached = false;
  Text part;
  Text type;
};

TResult Read(const Text& content_type, const std::vector<Text>& pieces, int64_t bound) {
  tessaly::TByteBuffer part;
  tessaly::TFirstPartReader reader(tessaly::MultipartBoundary(content_type), part,
                                   {bound, 64, 512});
  for (const Text& piece : pieces) reader.Feed(piece.data(), piece.size());
  return {reader.Complete(), reader.Breached(),
          Text(part.Memory(), static_cast<size_t>(part.Size())), reader.PartType()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tessaly;
  fuzz::TInput input(data, size);
  const Text content_type = input.Take(input.Byte());
  const int64_t bound = input.Byte();  // 0: none
  const std::vector<int> lengths = fuzz::ReadPieceLengths(input);
  const Text body = input.Rest();

  const TResult whole = Read(content_type, {body}, bound);
  const TResult cut = Read(content_type, fuzz::SplitIntoPieces(body, lengths), bound);
  const TResult bytes = Read(content_type, fuzz::SplitIntoPieces(body, {1}, SIZE_MAX), bound);
  for (const TResult* other : {&cut, &bytes}) {
    FUZZ_CHECK(other->complete == whole.complete, fuzz::Escaped(body));
    if (!whole.complete) continue;
    FUZZ_CHECK(other->part == whole.part, fuzz::Escaped(other->part) + " " + fuzz::Escaped(body));
    FUZZ_CHECK(other->type == whole.type, fuzz::Escaped(body));
  }
  FUZZ_CHECK(!whole.complete || bound == 0 || whole.part.size() <= static_cast<size_t>(bound),
             fuzz::Escaped(whole.part));
  FUZZ_CHECK(!(whole.complete && whole.breached), fuzz::Escaped(body));
  return 0;
}
