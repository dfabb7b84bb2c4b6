// The first part of a stream, read from arbitrary bodies: the reader never crashes, never
// invents bytes, keeps within its bounds, and its result (complete or not, the bound met, the
// part's bytes and type) is the same whether the body comes whole, one byte at a time or in the
// pieces the input plans.
//
// Input: bounds byte (1 a short line limit, 2 a small header limit, 4 a small part limit);
// boundary length byte (0..31) and the declared boundary; piece plan (see fuzzsupport.h); the
// body.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <vector>

#include "base/bytebuffer.h"
#include "fuzz/fuzzsupport.h"
#include "http/multipart.h"

namespace {

constexpr char kTarget[] = "stream_part";

using tessaly::Text;

struct TResult {
  bool complete = false;
  tessaly::TPartLimit limit = tessaly::TPartLimit::None;
  Text part;
  Text type;
  bool operator==(const TResult&) const = default;
};

TResult Read(const Text& boundary, tessaly::TPartLimits limits, const std::vector<Text>& pieces) {
  tessaly::TByteBuffer part;
  tessaly::TFirstPartReader reader(boundary, part, limits);
  for (const Text& piece : pieces) reader.Feed(piece.data(), piece.size());
  FUZZ_CHECK(!(reader.Complete() && reader.Breached()), "complete and breached at once");
  FUZZ_CHECK(reader.Breached() == (reader.LimitMet() != tessaly::TPartLimit::None),
             "a breach without its bound");
  // What an unfinished reader holds is nobody's business.
  if (!reader.Complete()) return {false, reader.LimitMet(), Text(), Text()};
  return {true, reader.LimitMet(), Text(part.Memory(), static_cast<size_t>(part.Size())),
          reader.PartType()};
}

Text Shown(const TResult& r) {
  return (r.complete ? "complete " : "open ") + std::to_string(static_cast<int>(r.limit)) + " " +
         tessaly::fuzz::Escaped(r.part, 60) + " type " + tessaly::fuzz::Escaped(r.type, 40);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tessaly;
  fuzz::TInput input(data, size);
  const uint8_t bounds = input.Byte();
  const TPartLimits limits{(bounds & 4) != 0 ? 512 : 256 << 20, (bounds & 1) != 0 ? 64 : 64 << 10,
                           (bounds & 2) != 0 ? 256 : 1 << 20};
  const Text boundary = input.Take(input.Byte() % 32);
  const std::vector<int> plan = fuzz::ReadPieceLengths(input);
  const Text body = input.Rest();
  const Text shown =
      " for boundary " + fuzz::Escaped(boundary) + " and body " + fuzz::Escaped(body);

  const TResult whole = Read(boundary, limits, {body});
  std::vector<Text> bytes;
  for (char c : body) bytes.emplace_back(1, c);
  const TResult byte_by_byte = Read(boundary, limits, bytes);
  const TResult planned =
      Read(boundary, limits, fuzz::SplitIntoPieces(body, plan, body.size() + 1));
  FUZZ_CHECK(whole == byte_by_byte,
             Shown(whole) + " whole, " + Shown(byte_by_byte) + " one byte at a time" + shown);
  FUZZ_CHECK(whole == planned, Shown(whole) + " whole, " + Shown(planned) + " in pieces" + shown);

  if (!whole.complete) return 0;
  FUZZ_CHECK(!whole.part.empty(), "an empty part" + shown);
  FUZZ_CHECK(static_cast<int64_t>(whole.part.size()) <= limits.max_part_size,
             "a part beyond its bound" + shown);
  const auto found =
      std::search(body.begin(), body.end(),
                  std::boyer_moore_horspool_searcher(whole.part.begin(), whole.part.end()));
  FUZZ_CHECK(found != body.end(), "a part that is not in the body: " + Shown(whole) + shown);
  return 0;
}
