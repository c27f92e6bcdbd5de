#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <ostream>
#include <random>
#include <utility>
#include <vector>

#include "payloads.h"
#include "prefix/trie/trie.h"

namespace corvalind {
namespace {

using Entries = std::vector<std::pair<uint32_t, uint32_t>>;  // (video, count)

struct Node {
  uint32_t total = 0;
  Entries entries;
  bool operator==(const Node&) const = default;
};

void PrintTo(const Node& node, std::ostream* os) {
  *os << node.total << " [";
  for (auto [video, count] : node.entries) *os << " " << video << ":" << count;
  *os << " ]";
}

std::optional<Payload> payload(uint32_t total, const Entries& entries) {
  Payload p{total, {}, {}};
  for (auto [video, count] : entries) {
    p.video_ids.push_back(video);
    p.video_counts.push_back(count);
  }
  return p;
}

Trie make_trie(std::vector<uint32_t> node_shifts, std::vector<uint32_t> child_transitions,
               const std::vector<std::optional<Payload>>& payloads) {
  Trie trie;
  trie.node_shifts = std::move(node_shifts);
  trie.child_transitions = std::move(child_transitions);
  trie.child_labels.assign(payloads.size(), U'x');
  for (const auto& p : payloads) {
    push_payload(trie.payloads, p ? std::optional(p->view()) : std::nullopt);
    trie.is_terminal.push_back(p.has_value());
  }
  return trie;
}

std::vector<Node> nodes_of(const Trie& trie) {
  std::vector<Node> out;
  for (std::size_t i = 0; i < trie.payloads.size(); ++i) {
    EXPECT_TRUE(trie.payloads.has(i)) << "node " << i;
    const PayloadView v = trie.payloads.view(i);
    Node node{v.total, {}};
    for (std::size_t k = 0; k < v.video_ids.size(); ++k) node.entries.emplace_back(v.video_ids[k], v.video_counts[k]);
    out.push_back(node);
  }
  return out;
}

// The four-node example: 0 -> {1, 3}, 1 -> {2}.
Trie four_nodes() {
  return make_trie({0, 2, 3, 3}, {1, 3, 2},
                   {std::nullopt, payload(2, {{7, 2}}), payload(5, {{7, 1}, {9, 4}}), payload(3, {{9, 6}})});
}

TEST(Propagate, Cases) {
  struct Case {
    const char* name;
    Trie trie;
    uint64_t top_n;
    std::vector<Node> expected;  // cases avoid equal sums among merged entries
  };
  Case cases[] = {
      {"four nodes, top 2", four_nodes(), 2,
       {{10, {{9, 10}, {7, 3}}}, {7, {{9, 4}, {7, 3}}}, {5, {{7, 1}, {9, 4}}}, {3, {{9, 6}}}}},
      {"four nodes, top 1: leaf cut in given order", four_nodes(), 1,
       {{10, {{9, 6}}}, {7, {{7, 3}}}, {5, {{7, 1}}}, {3, {{9, 6}}}}},
      {"top 0 keeps totals only", four_nodes(), 0, {{10, {}}, {7, {}}, {5, {}}, {3, {}}}},
      {"leaf keeps producer order and duplicates", make_trie({0}, {}, {payload(4, {{1, 1}, {2, 5}, {1, 3}})}), 2,
       {{4, {{1, 1}, {2, 5}}}}},
      {"absent payload without edges becomes empty", make_trie({0, 0}, {}, {std::nullopt, std::nullopt}), 5,
       {{0, {}}, {0, {}}}},
      {"self-edge contributes nothing and makes no receiver",
       make_trie({0, 1}, {1, 1}, {payload(1, {}), payload(6, {{3, 1}, {4, 3}, {3, 1}})}), 9,
       {{7, {{4, 3}, {3, 2}}}, {6, {{3, 1}, {4, 3}, {3, 1}}}}},
      {"child listed twice counts twice",
       make_trie({0, 2}, {1, 1}, {payload(1, {{8, 1}}), payload(5, {{8, 2}, {9, 1}})}), 9,
       {{11, {{8, 5}, {9, 2}}}, {5, {{8, 2}, {9, 1}}}}},
      // Node 1's range [2, 1) ends before it starts, node 2's [1, 1) is empty;
      // both keep their own entries unsorted. Node 3 owns position 1.
      {"empty and reversed ranges",
       make_trie({0, 2, 1, 1}, {1, 2},
                 {payload(1, {}), payload(2, {{5, 2}, {4, 9}}), payload(4, {{6, 1}}), payload(8, {{7, 5}})}),
       1, {{7, {{5, 2}}}, {2, {{5, 2}}}, {4, {{6, 1}}}, {12, {{7, 5}}}}},
      // Node 0's range [0, 9) is clamped to the two edges there; node 1's starts past the end.
      {"range past the end", make_trie({0, 9, 9}, {1, 2}, {payload(0, {}), payload(2, {{1, 2}}), payload(3, {{2, 3}})}),
       5, {{5, {{2, 3}, {1, 2}}}, {2, {{1, 2}}}, {3, {{2, 3}}}}},
      {"targets past the node count are ignored",
       make_trie({0, 2}, {7, 1}, {payload(1, {{1, 1}, {1, 1}}), payload(1, {})}), 5, {{2, {{1, 2}}}, {1, {}}}},
      {"only targets past the node count make no receiver", make_trie({0}, {7, 9}, {payload(1, {{1, 1}, {1, 1}})}),
       5, {{1, {{1, 1}, {1, 1}}}}},
      // A cycle: node 1 reads node 0 before node 0 is visited, uncut,
      // duplicates included.
      {"child not yet visited is read as given",
       make_trie({0, 1}, {1, 0}, {payload(10, {{4, 2}, {5, 1}, {4, 2}}), payload(20, {{6, 3}})}), 1,
       {{40, {{4, 8}}}, {30, {{4, 4}}}}},
      // root -> 3 'a' -> 1 'b' -> 2 'c': every node reads its child's summary.
      {"child numbered below its parent", make_trie({0, 1, 2, 2}, {3, 2, 1}, {std::nullopt, std::nullopt,
                                                                         payload(1, {{7, 1}}), std::nullopt}),
       5, {{1, {{7, 1}}}, {1, {{7, 1}}}, {1, {{7, 1}}}, {1, {{7, 1}}}}},
      // Node 1 is outside the root's tree; it still reads node 2 finished.
      {"node outside the tree comes after it",
       make_trie({0, 1, 2}, {2, 2}, {payload(1, {}), payload(2, {{3, 1}}), payload(4, {{5, 2}, {6, 1}, {5, 2}})}),
       1, {{5, {{5, 2}}}, {6, {{5, 2}}}, {4, {{5, 2}}}}},
      {"totals saturate", make_trie({0, 1}, {1}, {payload(4'000'000'000u, {}), payload(500'000'000u, {})}), 1,
       {{kMaxU32, {}}, {500'000'000u, {}}}},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    Trie trie = std::move(c.trie);
    const std::vector<uint8_t> terminal = trie.is_terminal;
    const std::vector<uint32_t> shifts = trie.node_shifts, transitions = trie.child_transitions;
    trie.propagate(c.top_n);
    EXPECT_EQ(nodes_of(trie), c.expected);
    EXPECT_EQ(trie.is_terminal, terminal);
    EXPECT_EQ(trie.node_shifts, shifts);
    EXPECT_EQ(trie.child_transitions, transitions);
  }
}

TEST(Propagate, EmptyTrie) {
  Trie trie;
  trie.propagate(10);
  EXPECT_EQ(trie.payloads.size(), 0u);
}

TEST(Propagate, RefusesTableOfWrongSize) {
  Trie trie = four_nodes();
  trie.node_shifts.pop_back();
  EXPECT_THROW(trie.propagate(1), InternalFailure);
  trie = four_nodes();
  trie.payloads.entry_offsets[2] = 99;
  EXPECT_THROW(trie.propagate(1), InternalFailure);
}

// The edge targets of node i, in position order, clamped to the edges.
std::vector<uint32_t> targets(const Trie& trie, std::size_t i) {
  const std::size_t n = trie.node_count();
  const std::size_t begin = trie.node_shifts[i];
  const std::size_t end = i + 1 < n ? trie.node_shifts[i + 1] : trie.child_transitions.size();
  std::vector<uint32_t> out;
  for (std::size_t s = begin; s < end && s < trie.child_transitions.size(); ++s) out.push_back(trie.child_transitions[s]);
  return out;
}

// Nodes from N-1 down to 0: children first whenever every edge leads to a
// higher number.
std::vector<uint32_t> descending_order(std::size_t n) {
  std::vector<uint32_t> order;
  for (std::size_t i = n; i-- > 0;) order.push_back(static_cast<uint32_t>(i));
  return order;
}

// The nodes the root reaches in reverse breadth-first order, then the
// others from N-1 down to 0.
std::vector<uint32_t> children_first_order(const Trie& trie) {
  const std::size_t n = trie.node_count();
  std::vector<bool> seen(n);
  std::vector<uint32_t> order = {0};
  seen[0] = true;
  for (std::size_t k = 0; k < order.size(); ++k) {
    for (const uint32_t c : targets(trie, order[k])) {
      if (c < n && !seen[c]) {
        seen[c] = true;
        order.push_back(c);
      }
    }
  }
  std::reverse(order.begin(), order.end());
  for (std::size_t i = n; i-- > 0;) {
    if (!seen[i]) order.push_back(static_cast<uint32_t>(i));
  }
  return order;
}

// The steps as written, visiting the nodes in `order`: children merged one
// at a time into an optional payload per node, each node cut when its visit
// ends.
std::vector<Node> reference_propagate(const Trie& trie, const std::vector<std::optional<Payload>>& input,
                                      uint64_t top_n, const std::vector<uint32_t>& order) {
  const std::size_t n = input.size();
  std::vector<std::optional<Payload>> slots = input;
  for (auto& slot : slots) {
    if (!slot) slot = Payload{};
  }
  for (const uint32_t i : order) {
    Payload acc = std::move(*slots[i]);
    slots[i].reset();
    for (const uint32_t c : targets(trie, i)) {
      if (c < n && slots[c]) acc.merge_from(*slots[c]);
    }
    if (acc.video_ids.size() > top_n) {
      acc.video_ids.resize(top_n);
      acc.video_counts.resize(top_n);
    }
    slots[i] = std::move(acc);
  }
  std::vector<Node> out;
  for (const auto& slot : slots) {
    Node node{slot->total, {}};
    for (std::size_t k = 0; k < slot->video_ids.size(); ++k) {
      node.entries.emplace_back(slot->video_ids[k], slot->video_counts[k]);
    }
    out.push_back(node);
  }
  return out;
}

// The tree of `children` (node 0 the root) numbered breadth first, depth
// first (pre-order) or at random with the root kept at 0, children in list
// order: its shifts and transitions, and number_of[v], the number node v got.
struct NumberedTree {
  std::vector<uint32_t> shifts, transitions, number_of;
};
enum class Numbering { BreadthFirst, DepthFirst, Random };

NumberedTree numbered_tree(const std::vector<std::vector<uint32_t>>& children, Numbering numbering,
                           std::mt19937& rng) {
  const std::size_t n = children.size();
  std::vector<uint32_t> order = {0};  // nodes in their new numbering
  if (numbering == Numbering::DepthFirst) {
    order.clear();
    std::vector<uint32_t> stack = {0};
    while (!stack.empty()) {
      const uint32_t v = stack.back();
      stack.pop_back();
      order.push_back(v);
      stack.insert(stack.end(), children[v].rbegin(), children[v].rend());
    }
  } else {
    for (std::size_t k = 0; k < order.size(); ++k) order.insert(order.end(), children[order[k]].begin(), children[order[k]].end());
    if (numbering == Numbering::Random) std::shuffle(order.begin() + 1, order.end(), rng);
  }
  NumberedTree tree;
  tree.number_of.resize(n);
  for (uint32_t k = 0; k < n; ++k) tree.number_of[order[k]] = k;
  for (const uint32_t v : order) {
    tree.shifts.push_back(static_cast<uint32_t>(tree.transitions.size()));
    for (const uint32_t c : children[v]) tree.transitions.push_back(tree.number_of[c]);
  }
  return tree;
}

// Random small tries: trees numbered breadth first, depth first or at
// random, and arrays that are not trees at all (cycles, self-edges, repeated
// and out-of-range targets, ranges in any order or past the end). Counts are
// random 24-bit values, so equal sums, whose order is free, do not arise by
// chance; repeated edges can still drive sums to saturation, where they tie,
// and such rounds are drawn again.
TEST(Propagate, MatchesMergingOneChildAtATime) {
  std::mt19937 rng(20240611);
  const auto below = [&](uint32_t bound) { return std::uniform_int_distribution<uint32_t>(0, bound - 1)(rng); };
  const auto saturated = [](const std::vector<Node>& nodes) {
    for (const Node& node : nodes) {
      for (auto [video, count] : node.entries) {
        if (count == kMaxU32) return true;
      }
    }
    return false;
  };
  for (int round = 0; round < 600;) {
    const uint32_t n = 1 + below(30);
    const int shape = static_cast<int>(below(4));  // a Numbering, or 3: not a tree
    std::vector<std::vector<uint32_t>> children(n);
    for (uint32_t v = 1; v < n; ++v) children[below(v)].push_back(v);
    NumberedTree tree;
    if (shape < 3) {
      tree = numbered_tree(children, static_cast<Numbering>(shape), rng);
    } else {
      const uint32_t e = below(2 * n + 2);
      for (uint32_t v = 0; v < n; ++v) tree.shifts.push_back(below(e + 3));
      for (uint32_t s = 0; s < e; ++s) tree.transitions.push_back(below(n + 2));
    }
    std::vector<std::optional<Payload>> payloads;
    for (uint32_t v = 0; v < n; ++v) {
      if (below(4) == 0) {
        payloads.push_back(std::nullopt);
        continue;
      }
      Entries entries;
      for (uint32_t k = below(6); k > 0; --k) entries.emplace_back(below(12), 1 + below(1u << 24));
      payloads.push_back(payload(below(1000), entries));
    }
    const uint64_t top_n = below(6);
    Trie trie = make_trie(tree.shifts, tree.transitions, payloads);
    const std::vector<Node> expected = reference_propagate(trie, payloads, top_n, children_first_order(trie));
    if (saturated(expected)) continue;
    trie.propagate(top_n);
    ASSERT_EQ(nodes_of(trie), expected) << "round " << round;
    if (shape < 3) {
      // A tree's summaries do not depend on its numbering, and numbered
      // with every child above its parent they are those of the plain
      // N-1 .. 0 visit: compare with that visit on the breadth-first
      // numbering of the same tree.
      const NumberedTree breadth_first = numbered_tree(children, Numbering::BreadthFirst, rng);
      std::vector<std::optional<Payload>> moved(n);
      for (uint32_t v = 0; v < n; ++v) moved[breadth_first.number_of[v]] = payloads[tree.number_of[v]];
      const Trie plain = make_trie(breadth_first.shifts, breadth_first.transitions, moved);
      const std::vector<Node> descending = reference_propagate(plain, moved, top_n, descending_order(n));
      for (uint32_t v = 0; v < n; ++v) {
        ASSERT_EQ(expected[tree.number_of[v]], descending[breadth_first.number_of[v]]) << "round " << round;
      }
      if (shape == static_cast<int>(Numbering::DepthFirst)) {
        ASSERT_EQ(expected, reference_propagate(trie, payloads, top_n, descending_order(n))) << "round " << round;
      }
    }
    ++round;
  }
}

}  // namespace
}  // namespace corvalind
