#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "messages.h"
#include "prefix/trie/malformed.h"
#include "prefix/trie/trie.h"

namespace corvalind {

namespace {

using Check = std::expected<void, Error>;
using messages::field_at;

Check check_node_fields(const Trie& trie) {
  std::size_t n = trie.node_count();
  auto same_length = [n](std::string_view field, std::size_t len) -> Check {
    if (len == n) return {};
    return malformed(std::string(field) + " has " + std::to_string(len) + " entries but child_labels has " +
                     std::to_string(n));
  };
  if (auto c = same_length("node_shifts", trie.node_shifts.size()); !c) return c;
  if (auto c = same_length("payloads", trie.payloads.size()); !c) return c;
  return same_length("is_terminal", trie.is_terminal.size());
}

Check check_edges(const Trie& trie) {
  std::size_t n = trie.node_count();
  std::size_t e = trie.child_transitions.size();
  for (std::size_t j = 0; j < e; ++j) {
    if (trie.child_transitions[j] >= n) {
      return malformed(field_at("child_transitions", j) + " = " + std::to_string(trie.child_transitions[j]) +
                       " is not a node (" + std::to_string(n) + " nodes)");
    }
  }
  // The last node's range ends at E, so only a following shift can overshoot.
  for (std::size_t i = 0; i < n; ++i) {
    EdgeRange range = trie.edges(static_cast<uint32_t>(i));
    if (range.begin < range.end && range.end > e) {
      return malformed("edges of node " + std::to_string(i) + " end at " + field_at("node_shifts", i + 1) + " = " +
                       std::to_string(range.end) + ", past the " + std::to_string(e) +
                       " entries of child_transitions");
    }
  }
  return {};
}

Check check_id_mode(const Trie& trie) {
  if (trie.id_mode == IdMode::Int32 && !trie.video_uuids.empty()) {
    return malformed("id_mode is Int32 but video_uuids is not empty");
  }
  if (trie.id_mode == IdMode::Uuid && !trie.video_int_ids.empty()) {
    return malformed("id_mode is Uuid but video_int_ids is not empty");
  }
  return {};
}

// Breadth-first walk from the root over every edge, whatever its label: each
// node may be entered once, and never the root. Linear in the reachable part.
// REQUIRES: edge targets below N and edge ranges inside child_transitions.
Check check_tree(const Trie& trie) {
  std::size_t n = trie.node_count();
  if (n == 0) return {};
  std::vector<uint8_t> visited(n, 0);
  std::vector<uint32_t> queue;
  queue.reserve(n);
  visited[0] = 1;
  queue.push_back(0);
  for (std::size_t head = 0; head < queue.size(); ++head) {
    EdgeRange range = trie.edges(queue[head]);
    for (uint32_t j = range.begin; j < range.end; ++j) {
      uint32_t target = trie.child_transitions[j];
      if (target == 0) return malformed(field_at("child_transitions", j) + " = 0 leads back to the root");
      if (visited[target]) {
        return malformed(field_at("child_transitions", j) + " = " + std::to_string(target) + " reaches node " +
                         std::to_string(target) + " a second time");
      }
      visited[target] = 1;
      queue.push_back(target);
    }
  }
  return {};
}

void index_edges(Trie& trie) {
  trie.walk_edges.resize(trie.child_transitions.size());
  for (std::size_t e = 0; e < trie.child_transitions.size(); ++e) {
    const uint32_t target = trie.child_transitions[e];
    const EdgeRange range = trie.edges(target);
    const uint32_t count = range.end > range.begin ? range.end - range.begin : 0;
    trie.walk_edges[e] = {trie.child_labels[target], trie.is_terminal[target] != 0 ? 1u : 0u,
                          std::min(count, WalkEdge::kManyEdges), range.begin};
  }
}

// The longest visible path from the root, by a depth-first walk of the
// edges (a checked trie is a tree below the root).
uint32_t deepest_visible_depth(const Trie& trie) {
  if (trie.node_count() == 0) return 0;
  std::vector<EdgeRange> stack{trie.edges(0)};
  uint32_t deepest = 0;
  while (!stack.empty()) {
    EdgeRange& top = stack.back();
    if (top.begin >= top.end) {
      stack.pop_back();
      continue;
    }
    const uint32_t edge = top.begin++;
    if (trie.walk_edges[edge].label == U'\0') continue;
    deepest = std::max(deepest, static_cast<uint32_t>(stack.size()));
    const EdgeRange below = trie.edges_below(edge);
    if (below.begin < below.end) stack.push_back(below);
  }
  return deepest;
}

}  // namespace

std::expected<void, Error> check_trie(const Trie& trie) {
  if (auto c = check_node_fields(trie); !c) return c;
  if (auto fault = layout_fault(trie.payloads)) return malformed(*fault);
  if (auto c = check_edges(trie); !c) return c;
  if (auto c = check_id_mode(trie); !c) return c;
  return check_tree(trie);
}

Result<Trie> finish_trie(Trie trie) {
  if (auto checked = check_trie(trie); !checked) return std::unexpected(std::move(checked.error()));
  index_edges(trie);
  trie.max_depth = deepest_visible_depth(trie);
  trie.forward_backward = std::make_unique<LazyForwardBackwardIndex>();
  return trie;
}

void require_finished(const Trie& trie) {
  if (!trie.forward_backward) throw InternalFailure("trie that was never checked");
}

}  // namespace corvalind
