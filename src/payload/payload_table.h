// PayloadTable: the optional payloads of all nodes of a trie in flat arrays.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "payload/payload.h"

namespace corvalind {

// One optional payload per node. Node i's entries are the positions
// entry_offsets[i] .. entry_offsets[i+1] of video_ids and video_counts.
struct PayloadTable {
  std::vector<uint8_t> present;         // N: 1 when node i has a payload
  std::vector<uint32_t> totals;         // N: 0 where absent
  std::vector<uint32_t> entry_offsets;  // N + 1 (empty when N is 0)
  std::vector<uint32_t> video_ids;
  std::vector<uint32_t> video_counts;   // parallel to video_ids

  std::size_t size() const { return present.size(); }
  bool has(std::size_t node) const { return present[node] != 0; }
  PayloadView view(std::size_t node) const {
    uint32_t begin = entry_offsets[node];
    uint32_t count = entry_offsets[node + 1] - begin;
    return {totals[node], {video_ids.data() + begin, count}, {video_counts.data() + begin, count}};
  }
  // Closes the next node after its entries were appended to video_ids and
  // video_counts (in equal numbers; none when absent).
  void end_node(bool is_present, uint32_t total);
  // Reserves room for `nodes` nodes and `entries` entries in all.
  void reserve(std::size_t nodes, std::size_t entries);
};

// The first place where `table` breaks its own layout, as the detail of a
// malformed-trie message (e.g. "payloads.totals has 3 entries but payloads
// has 4"); nullopt when it holds. The layout: a total per node, N + 1
// offsets that never decrease (none at all for a table with no node),
// present 0 or 1, no entries and total 0 where absent, and entry lists
// exactly as long as the last offset says. Linear in N. Tables that are
// decoded or filled through end_node hold it by construction.
std::optional<std::string> layout_fault(const PayloadTable& table);

}  // namespace corvalind
