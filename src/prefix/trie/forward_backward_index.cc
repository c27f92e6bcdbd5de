#include "prefix/trie/forward_backward_index.h"

#include <algorithm>
#include <numeric>
#include <span>

#include "interrupt.h"
#include "prefix/trie/trie.h"

namespace corvalind {
namespace {

// The visible terms of a trie: term k is the trie node nodes[k], whose path
// string, reversed, is chars[starts[k] .. starts[k + 1]).
struct ReversedTerms {
  std::vector<uint32_t> nodes;
  std::vector<uint32_t> starts{0};
  std::vector<char32_t> chars;

  std::span<const char32_t> text(uint32_t k) const {
    return {chars.data() + starts[k], chars.data() + starts[k + 1]};
  }
};

// Walks the visible part of the trie in pre-order (edge order, as the
// matchers do), ranking every node met and collecting the stored terms;
// nullopt as soon as they pass `max_scalars` in all.
std::optional<ReversedTerms> rank_and_collect(const Trie& trie, std::vector<uint32_t>& preorder,
                                              uint64_t max_scalars) {
  struct Frame {
    uint32_t edge, end;
  };
  ReversedTerms terms;
  preorder.assign(trie.node_count(), 0);
  std::vector<Frame> stack;
  std::vector<char32_t> path;
  const EdgeRange root = trie.edges(0);
  stack.push_back({root.begin, root.end});
  uint32_t rank = 1;
  InterruptPoll poll;
  while (!stack.empty()) {
    poll.tick();
    Frame& top = stack.back();
    if (top.edge >= top.end) {
      stack.pop_back();
      if (!stack.empty()) path.pop_back();  // one label per frame but the root's
      continue;
    }
    const uint32_t edge = top.edge++;
    const WalkEdge down = trie.walk_edges[edge];
    if (down.label == U'\0') continue;
    const uint32_t child = trie.child_transitions[edge];
    preorder[child] = rank++;
    path.push_back(down.label);
    if (trie.is_terminal[child]) {
      if (terms.chars.size() + path.size() > max_scalars) return std::nullopt;
      terms.nodes.push_back(child);
      terms.chars.insert(terms.chars.end(), path.rbegin(), path.rend());
      terms.starts.push_back(static_cast<uint32_t>(terms.chars.size()));
    }
    const uint32_t end = down.edge_count == WalkEdge::kManyEdges ? trie.edges(child).end
                                                                  : down.first_edge + down.edge_count;
    stack.push_back({down.first_edge, end});
  }
  return terms;
}

}  // namespace

std::optional<ForwardBackwardIndex> build_forward_backward_index(const Trie& trie) {
  if (trie.node_count() == 0) return std::nullopt;
  ForwardBackwardIndex index;
  std::optional<ReversedTerms> collected =
      rank_and_collect(trie, index.preorder, kMaxIndexedScalarsPerNode * trie.node_count());
  if (!collected) return std::nullopt;
  const ReversedTerms& terms = *collected;
  index.children_sorted = true;
  for (uint32_t node = 0; node < trie.node_count() && index.children_sorted; ++node) {
    const EdgeRange range = trie.edges(node);
    for (uint32_t e = range.begin; e + 1 < range.end; ++e) {
      if (trie.walk_edges[e].label > trie.walk_edges[e + 1].label) index.children_sorted = false;
    }
  }

  // Reversed terms in lexicographic order; equal ones by pre-order, so the
  // first of them is the one the reverse trie names.
  std::vector<uint32_t> order(terms.nodes.size());
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
    const auto ta = terms.text(a);
    const auto tb = terms.text(b);
    const auto c = std::lexicographical_compare_three_way(ta.begin(), ta.end(), tb.begin(), tb.end());
    return c != 0 ? c < 0 : index.preorder[terms.nodes[a]] < index.preorder[terms.nodes[b]];
  });

  // Breadth first over groups of sorted terms sharing their first `depth`
  // characters: each group is a node, its subgroups by the next character
  // its children, numbered in the order they are queued.
  struct Group {
    uint32_t lo, hi, depth;
  };
  std::vector<Group> queue{{0, static_cast<uint32_t>(order.size()), 0}};
  std::vector<uint8_t> is_terminal;
  index.reverse.push_back({U'\0', 0});
  InterruptPoll poll;
  for (std::size_t r = 0; r < queue.size(); ++r) {
    poll.tick(queue[r].hi - queue[r].lo + 1);  // its terms are read once each
    const Group group = queue[r];
    index.reverse[r].first_child = static_cast<uint32_t>(queue.size());
    uint32_t i = group.lo;
    // A term that ends here sorts before the longer ones of its group.
    const auto length = [&](uint32_t k) { return terms.starts[order[k] + 1] - terms.starts[order[k]]; };
    const bool ends_here = i < group.hi && length(i) == group.depth;
    is_terminal.push_back(ends_here);
    if (ends_here) {
      const uint32_t first = terms.nodes[order[i]];
      index.term_nodes.push_back(first);
      for (++i; i < group.hi && length(i) == group.depth; ++i) {
        index.duplicates.emplace_back(first, terms.nodes[order[i]]);
      }
    }
    while (i < group.hi) {
      const char32_t c = terms.text(order[i])[group.depth];
      uint32_t j = i + 1;
      while (j < group.hi && terms.text(order[j])[group.depth] == c) ++j;
      queue.push_back({i, j, group.depth + 1});
      index.reverse.push_back({c, 0});
      i = j;
    }
  }
  index.reverse.push_back({U'\0', static_cast<uint32_t>(queue.size())});
  std::sort(index.duplicates.begin(), index.duplicates.end());

  RankedBits& bits = index.terminal;
  bits.words.assign((is_terminal.size() + 63) / 64, 0);
  bits.before.assign(bits.words.size(), 0);
  for (std::size_t r = 0; r < is_terminal.size(); ++r) {
    bits.words[r >> 6] |= uint64_t{is_terminal[r]} << (r & 63);
  }
  for (std::size_t w = 1; w < bits.words.size(); ++w) {
    bits.before[w] = bits.before[w - 1] + static_cast<uint32_t>(std::popcount(bits.words[w - 1]));
  }
  return index;
}

const ForwardBackwardIndex* LazyForwardBackwardIndex::get(const Trie& trie) const {
  State state = state_.load(std::memory_order_acquire);
  if (state == State::kBuilt) return index_.get();
  if (state == State::kBuilding ||
      !state_.compare_exchange_strong(state, State::kBuilding, std::memory_order_acquire)) {
    // Another call builds it, or has just published it.
    return state == State::kBuilt ? index_.get() : nullptr;
  }
  try {
    if (std::optional<ForwardBackwardIndex> index = build_forward_backward_index(trie)) {
      index_ = std::make_unique<const ForwardBackwardIndex>(std::move(*index));
    }
  } catch (...) {
    state_.store(State::kUnbuilt, std::memory_order_release);
    throw;
  }
  state_.store(State::kBuilt, std::memory_order_release);
  return index_.get();
}

}  // namespace corvalind
