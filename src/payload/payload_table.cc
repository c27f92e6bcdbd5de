#include "payload/payload_table.h"

#include <new>

#include "messages.h"

namespace corvalind {

using messages::field_at;

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

std::optional<std::string> layout_fault(const PayloadTable& table) {
  std::size_t n = table.size();
  if (table.totals.size() != n) {
    return "payloads.totals has " + std::to_string(table.totals.size()) + " entries but payloads has " +
           std::to_string(n);
  }
  const std::vector<uint32_t>& offsets = table.entry_offsets;
  // A table that never had a node pushed has no offsets at all.
  if (offsets.size() != n + 1 && !(n == 0 && offsets.empty())) {
    return "payloads.entry_offsets has " + std::to_string(offsets.size()) + " entries but should have " +
           std::to_string(n + 1);
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (offsets[i + 1] < offsets[i]) {
      return field_at("payloads.entry_offsets", i + 1) + " = " + std::to_string(offsets[i + 1]) + " is below " +
             field_at("entry_offsets", i) + " = " + std::to_string(offsets[i]);
    }
    if (table.present[i] > 1) {
      return field_at("payloads.present", i) + " = " + std::to_string(table.present[i]) + " is neither 0 nor 1";
    }
    if (table.present[i] == 0 && offsets[i + 1] != offsets[i]) {
      return field_at("payloads", i) + " is absent but has " + std::to_string(offsets[i + 1] - offsets[i]) + " entries";
    }
    if (table.present[i] == 0 && table.totals[i] != 0) {
      return field_at("payloads", i) + " is absent but has total " + std::to_string(table.totals[i]);
    }
  }
  std::size_t entries = offsets.empty() ? 0 : offsets.back();
  if (table.video_ids.size() != entries || table.video_counts.size() != entries) {
    return "payloads.entry_offsets ends at " + std::to_string(entries) + " but video_ids has " +
           std::to_string(table.video_ids.size()) + " and video_counts " + std::to_string(table.video_counts.size()) +
           " entries";
  }
  return std::nullopt;
}

}  // namespace corvalind
