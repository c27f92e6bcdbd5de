// Payloads: the videos one trie node points to, with their counts, and the
// tally that merges them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "payload/video_map.h"

namespace corvalind {

inline constexpr uint32_t kMaxU32 = 0xFFFFFFFFu;

// Read-only view of one payload, as stored in a trie's payload table.
struct PayloadView {
  uint32_t total = 0;
  std::span<const uint32_t> video_ids;
  std::span<const uint32_t> video_counts;  // parallel to video_ids
};

inline uint32_t saturating_add(uint32_t a, uint32_t b) {
  uint32_t sum = a + b;
  return sum < a ? kMaxU32 : sum;
}

// Sums counts per video across several lists and hands out the ranking: an
// open-addressing map keyed by video number. One tally is reused across many
// merges (propagation does one per node), so it keeps its storage and clears
// only the slots it touched.
class VideoTally {
 public:
  // Adds every (video, count) pair of the lists; counts of one video are
  // summed in 64 bits. Throws InternalFailure when the lists differ in length.
  void add(std::span<const uint32_t> video_ids, std::span<const uint32_t> video_counts);
  // Appends the distinct videos ranked by summed count, highest first (equal
  // sums in no defined order), cut to `limit` entries, sums above 2^32-1
  // saturated; then empties the tally. Costs time linear in the distinct
  // videos plus a sort of at most `limit` of them.
  void take_ranked(uint64_t limit, std::vector<uint32_t>& video_ids, std::vector<uint32_t>& video_counts);

 private:
  struct Ranked {
    uint64_t sum;
    uint32_t video;
  };
  VideoMap<uint64_t> sums_;
  std::vector<Ranked> ranked_;  // scratch for take_ranked
};

}  // namespace corvalind
