#include "prefix/trie/trie.h"

#include <new>
#include <string>

namespace corvalind {

void fail_index(std::size_t len, std::size_t index) {
  throw InternalFailure("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
                        std::to_string(index));
}

void PayloadTable::reserve(std::size_t nodes, std::size_t entries) {
  present.reserve(nodes);
  totals.reserve(nodes);
  entry_offsets.reserve(nodes + 1);
  video_ids.reserve(entries);
  video_counts.reserve(entries);
}

void PayloadTable::push(std::optional<PayloadView> payload) {
  if (payload) {
    video_ids.insert(video_ids.end(), payload->video_ids.begin(), payload->video_ids.end());
    video_counts.insert(video_counts.end(), payload->video_counts.begin(), payload->video_counts.end());
  }
  end_node(payload.has_value(), payload ? payload->total : 0);
}

void PayloadTable::end_node(bool is_present, uint32_t total) {
  if (entry_offsets.empty()) entry_offsets.push_back(0);
  present.push_back(is_present);
  totals.push_back(total);
  // Offsets are 32-bit: a table past that cannot be held, like any allocation too large.
  if (video_ids.size() > kMaxU32) throw std::bad_alloc();
  entry_offsets.push_back(static_cast<uint32_t>(video_ids.size()));
}

}  // namespace corvalind
