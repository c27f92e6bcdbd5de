// Payload: the videos one trie node points to, with their counts.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace corvalind {

inline constexpr uint32_t kMaxU32 = 0xFFFFFFFFu;

// Read-only view of one payload, as stored in a trie's payload table.
struct PayloadView {
  uint32_t total = 0;
  std::span<const uint32_t> video_ids;
  std::span<const uint32_t> video_counts;  // parallel to video_ids
};

struct Payload {
  uint32_t total = 0;
  std::vector<uint32_t> video_ids;     // internal video numbers
  std::vector<uint32_t> video_counts;  // parallel to video_ids

  PayloadView view() const { return {total, video_ids, video_counts}; }

  // Folds `other` into this payload: totals add with saturation at 2^32-1,
  // counts of the same video (within either list too) are summed in 64 bits
  // and stored back saturated, and the lists are ranked by count, highest
  // first (equal counts in no defined order). Nothing is cut.
  void merge_from(const Payload& other);
};

inline uint32_t saturating_add(uint32_t a, uint32_t b) {
  uint32_t sum = a + b;
  return sum < a ? kMaxU32 : sum;
}

// Sums counts per video across several payloads and hands out the ranking.
// One tally is reused across many merges (propagation does one per node), so
// it keeps its storage and clears only the slots it touched.
class VideoTally {
 public:
  // Adds every (video, count) pair of the lists.
  void add(std::span<const uint32_t> video_ids, std::span<const uint32_t> video_counts);
  // Writes the distinct videos ranked by summed count, highest first, cut to
  // `limit` entries, sums saturated to 32 bits; then empties the tally.
  // Costs linear time plus a sort of at most `limit` entries.
  void take_ranked(uint64_t limit, std::vector<uint32_t>& video_ids, std::vector<uint32_t>& video_counts);

 private:
  struct Slot {
    uint32_t video;
    uint64_t sum;
  };
  void grow();
  std::vector<Slot> slots_;        // open addressing; sum == 0 with video == kEmpty marks free
  std::vector<uint32_t> touched_;  // indexes of occupied slots, in insertion order
  std::vector<std::pair<uint64_t, uint32_t>> ranked_;  // scratch for take_ranked
};

}  // namespace corvalind
