#include "payload/payload_table.h"

#include <new>

namespace corvalind {

void PayloadTable::reserve(std::size_t nodes, std::size_t entries) {
  present.reserve(nodes);
  totals.reserve(nodes);
  entry_offsets.reserve(nodes + 1);
  video_ids.reserve(entries);
  video_counts.reserve(entries);
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
