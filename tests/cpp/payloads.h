// Owning payloads and filling a payload table one node at a time, for the
// tests, the fuzzers and the benchmark. The core fills its tables in place
// (PayloadTable::end_node) and merges with VideoTally.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "payload/payload.h"
#include "payload/payload_table.h"

namespace corvalind {

struct Payload {
  uint32_t total = 0;
  std::vector<uint32_t> video_ids;     // internal video numbers
  std::vector<uint32_t> video_counts;  // parallel to video_ids

  PayloadView view() const { return {total, video_ids, video_counts}; }

  // Folds `other` into this payload: totals add with saturation at 2^32-1,
  // counts of the same video (within either list too) are summed in 64 bits
  // and stored back saturated, and the lists are ranked by count, highest
  // first (equal counts in no defined order). Nothing is cut.
  void merge_from(const Payload& other) {
    VideoTally tally;
    tally.add(video_ids, video_counts);
    tally.add(other.video_ids, other.video_counts);
    total = saturating_add(total, other.total);
    // Cleared only after both lists were read: `other` may be this payload.
    video_ids.clear();
    video_counts.clear();
    tally.take_ranked(std::numeric_limits<uint64_t>::max(), video_ids, video_counts);
  }
};

// Appends the next node's payload (absent when `payload` is nullopt).
inline void push_payload(PayloadTable& table, std::optional<PayloadView> payload) {
  if (payload) {
    table.video_ids.insert(table.video_ids.end(), payload->video_ids.begin(), payload->video_ids.end());
    table.video_counts.insert(table.video_counts.end(), payload->video_counts.begin(), payload->video_counts.end());
  }
  table.end_node(payload.has_value(), payload ? payload->total : 0);
}

}  // namespace corvalind
