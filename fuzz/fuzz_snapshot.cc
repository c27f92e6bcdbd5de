// Any bytes as a snapshot: the reader must refuse them with a decode or
// malformed-trie error, or return a trie that writes back stably and that
// every query answers as the reference walk does.
#include <cstddef>
#include <cstdint>
#include <span>

#include "check_queries.h"
#include "prefix/trie/trie.h"

using namespace corvalind;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size > fuzzing::kMaxInputBytes) return -1;
  const std::span<const uint8_t> input(data, size);
  const Result<FinishedTrie> trie = Trie::decode(input);
  if (!trie) {
    const std::string& message = trie.error().message;
    fuzzing::require(trie.error().type == ErrorType::ValueError &&
                         (message.starts_with("decode error: ") || message.starts_with("malformed trie: ")),
                     "refusal is not a decode or malformed-trie ValueError");
    return 0;
  }
  fuzzing::check_round_trip(*trie);

  // The first bytes steer the walk that picks a stored path; the last bytes
  // are a query of their own. A large distance from {2^16 - 2 .. 2^16, 2^32 - 1}
  // crosses the widths of the distance cells.
  const std::size_t tail = std::min<std::size_t>(size, 24);
  const uint8_t knob = size > 0 ? data[size - 1] : 0;
  static constexpr uint32_t kLargeDistances[] = {65534, 65535, 65536, 0xFFFFFFFFu};
  fuzzing::check_queries(*trie, fuzzing::derive_queries(*trie, input.first(std::min<std::size_t>(size, 16)),
                                                        input.last(tail)),
                         knob % 4, kLargeDistances[(knob >> 2) % 4]);
  return 0;
}
