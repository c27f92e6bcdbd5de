// Small tries for the matcher and video query tests, described node by node
// or as a list of words.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "payloads.h"
#include "prefix/trie/trie.h"
#include "reference.h"

namespace corvalind::testing {

// nodes[i] is node i; nodes[0] is the root, whose parent and label are unused.
struct TestNode {
  uint32_t parent = 0;
  char32_t label = U'\0';
  bool terminal = false;
  std::optional<Payload> payload;
};

// Each node's edges lead to its children in list order. Mode Uuid, no ids.
// Throws std::logic_error when the nodes do not form a trie the matchers accept.
inline FinishedTrie make_trie(const std::vector<TestNode>& nodes) {
  std::vector<std::vector<uint32_t>> children(nodes.size());
  for (uint32_t i = 1; i < nodes.size(); ++i) children[nodes[i].parent].push_back(i);
  Trie trie;
  for (uint32_t i = 0; i < nodes.size(); ++i) {
    trie.node_shifts.push_back(static_cast<uint32_t>(trie.child_transitions.size()));
    trie.child_transitions.insert(trie.child_transitions.end(), children[i].begin(), children[i].end());
    trie.child_labels.push_back(nodes[i].label);
    trie.is_terminal.push_back(nodes[i].terminal);
    push_payload(trie.payloads, nodes[i].payload ? std::optional(nodes[i].payload->view()) : std::nullopt);
  }
  Result<FinishedTrie> finished = finish_trie(std::move(trie));
  if (!finished) throw std::logic_error(finished.error().message);
  return std::move(*finished);
}

// Adds the path of `word` (UTF-8) from the root, reusing existing nodes, and
// returns the node where it ends (0 for ""). Starts the root when `nodes` is empty.
inline uint32_t add_path(std::vector<TestNode>& nodes, std::string_view word) {
  if (nodes.empty()) nodes.emplace_back();
  uint32_t at = 0;
  for (const char32_t c : reference::to_scalars(word)) {
    uint32_t next = 0;
    for (uint32_t i = 1; i < nodes.size() && next == 0; ++i) {
      if (nodes[i].parent == at && nodes[i].label == c) next = i;
    }
    if (next == 0) {
      nodes.push_back({at, c});
      next = static_cast<uint32_t>(nodes.size() - 1);
    }
    at = next;
  }
  return at;
}

// The trie of `words`, each ending at a terminal node; edges in order of first appearance.
inline std::vector<TestNode> word_nodes(const std::vector<std::string>& words) {
  std::vector<TestNode> nodes(1);
  for (const std::string& word : words) nodes[add_path(nodes, word)].terminal = true;
  return nodes;
}

// The UTF-8 path string of `node`.
inline std::string path_of(const std::vector<TestNode>& nodes, uint64_t node) {
  std::u32string path;
  for (; node != 0; node = nodes[node].parent) path.insert(path.begin(), nodes[node].label);
  return reference::to_utf8(path);
}

}  // namespace corvalind::testing
