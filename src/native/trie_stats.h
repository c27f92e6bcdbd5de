// Figures about a trie, read from its arrays.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "prefix/trie/trie.h"

namespace corvalind::native {

struct TrieStats {
  uint64_t nodes;
  uint64_t terms;            // nodes where a stored term ends
  uint64_t videos;           // entries of the external id table in use
  std::string_view id_mode;  // "uuid" or "int32"
  uint64_t payload_entries;  // (video, count) pairs over all nodes
  uint64_t depth;            // longest path from the root (0 for the root alone or no nodes)
  uint64_t snapshot_bytes;   // what to_bytes() would write
  uint64_t memory_bytes;     // the arrays and the walk data in memory (not the forward-backward index)
};

// Linear in the nodes, edges and payload entries; builds nothing but a
// depth per node. REQUIRES: a finished trie.
TrieStats trie_stats(const Trie& trie);

// Per term, the payload total of the node where the exact term ends, or 0
// when no node is reached or it has no payload. Follows visible edges only
// (not through nodes labelled U+0000), as the matchers do. REQUIRES: a
// finished trie, terms in valid UTF-8.
std::vector<uint64_t> term_totals(const Trie& trie, const std::vector<std::string_view>& terms);

}  // namespace corvalind::native
