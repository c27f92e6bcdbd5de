#include "native/trie_stats.h"

#include <utility>

#include "utf8.h"

namespace corvalind::native {
namespace {

template <class T>
uint64_t bytes_of(const std::vector<T>& values) {
  return values.size() * sizeof(T);
}

uint64_t memory_bytes(const Trie& trie) {
  const PayloadTable& payloads = trie.payloads;
  return bytes_of(trie.node_shifts) + bytes_of(trie.child_labels) + bytes_of(trie.child_transitions) +
         bytes_of(payloads.present) + bytes_of(payloads.totals) + bytes_of(payloads.entry_offsets) +
         bytes_of(payloads.video_ids) + bytes_of(payloads.video_counts) + bytes_of(trie.video_uuids) +
         bytes_of(trie.video_int_ids) + bytes_of(trie.is_terminal) + bytes_of(trie.walk_edges);
}

// Breadth first from the root; a finished trie's edges from the root form a tree.
uint64_t depth(const Trie& trie) {
  if (trie.node_count() == 0) return 0;
  std::vector<std::pair<uint32_t, uint32_t>> level{{0, 0}};  // (node, depth), a queue read in place
  uint32_t deepest = 0;
  for (std::size_t next = 0; next < level.size(); ++next) {
    auto [node, at] = level[next];
    deepest = at;
    EdgeRange edges = trie.edges(node);
    for (uint32_t e = edges.begin; e < edges.end; ++e) level.emplace_back(trie.child_transitions[e], at + 1);
  }
  return deepest;
}

// The first node in pre-order whose path string is `term`, or nullopt.
std::optional<uint32_t> exact_node(const Trie& trie, std::string_view term) {
  if (trie.node_count() == 0) return std::nullopt;
  const std::u32string scalars = decode_utf8(term);
  std::vector<std::pair<uint32_t, uint32_t>> stack{{0, 0}};  // (node, scalars matched)
  while (!stack.empty()) {
    auto [node, matched] = stack.back();
    stack.pop_back();
    if (matched == scalars.size()) return node;
    EdgeRange edges = trie.edges(node);
    for (uint32_t e = edges.end; e > edges.begin; --e) {
      uint32_t child = trie.child_transitions[e - 1];
      char32_t label = trie.child_labels[child];
      if (label != U'\0' && label == scalars[matched]) stack.emplace_back(child, matched + 1);
    }
  }
  return std::nullopt;
}

}  // namespace

TrieStats trie_stats(const Trie& trie) {
  TrieStats stats{};
  stats.nodes = trie.node_count();
  for (uint8_t terminal : trie.is_terminal) stats.terms += terminal;
  stats.id_mode = trie.id_mode == IdMode::Uuid ? "uuid" : "int32";
  stats.videos = trie.id_mode == IdMode::Uuid ? trie.video_uuids.size() : trie.video_int_ids.size();
  stats.payload_entries = trie.payloads.video_ids.size();
  stats.depth = depth(trie);
  stats.snapshot_bytes = trie.encoded_size();
  stats.memory_bytes = memory_bytes(trie);
  return stats;
}

std::vector<uint64_t> term_totals(const Trie& trie, const std::vector<std::string_view>& terms) {
  std::vector<uint64_t> totals;
  totals.reserve(terms.size());
  for (std::string_view term : terms) {
    std::optional<uint32_t> node = exact_node(trie, term);
    totals.push_back(node && trie.payloads.has(*node) ? trie.payloads.totals[*node] : 0);
  }
  return totals;
}

}  // namespace corvalind::native
