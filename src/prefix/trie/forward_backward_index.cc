#include "prefix/trie/forward_backward_index.h"

#include <algorithm>
#include <optional>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "interrupt.h"
#include "prefix/trie/trie.h"

namespace corvalind {
namespace {

// A visible stored term as build_reverse_trie places it: read from its
// end, `next` is the scalar before `rest`, the trie node that holds what
// is still to read (0 and the root once it is used up).
struct Term {
  uint32_t node;  // where it ends in the trie
  uint32_t rest;
  char32_t next;
};

// The visible stored terms in pre-order, and their length in all.
struct VisibleTerms {
  std::vector<Term> terms;
  uint64_t scalars = 0;
};

// Walks the visible part of the trie in pre-order (edge order, as the
// matchers do), ranking every node met, noting its parent and collecting
// the stored terms; nullopt as soon as they pass `max_scalars` in all.
std::optional<VisibleTerms> rank_and_link(const Trie& trie, std::vector<uint32_t>& preorder,
                                          std::vector<uint32_t>& parent, uint64_t max_scalars) {
  struct Frame {
    uint32_t node, edge, end;
  };
  VisibleTerms terms;
  preorder.assign(trie.node_count(), 0);
  parent.assign(trie.node_count(), 0);
  std::vector<Frame> stack;
  const EdgeRange root = trie.edges(0);
  stack.push_back({0, root.begin, root.end});
  uint32_t rank = 1;
  InterruptPoll poll;
  while (!stack.empty()) {
    poll.tick();
    Frame& top = stack.back();
    if (top.edge >= top.end) {
      stack.pop_back();
      continue;
    }
    const uint32_t edge = top.edge++;
    const WalkEdge down = trie.walk_edges[edge];
    if (down.label == U'\0') continue;
    const uint32_t child = trie.child_transitions[edge];
    preorder[child] = rank++;
    parent[child] = top.node;
    if (down.terminal) {
      terms.scalars += stack.size();  // the child's depth
      if (terms.scalars > max_scalars) return std::nullopt;
      terms.terms.push_back({child, child, down.label});
    }
    stack.push_back({child, down.first_edge, trie.edges_below(edge).end});
  }
  return terms;
}

// The build frees tens of bytes per node of temporaries, which the C
// allocator would keep for reuse, leaving a serving process that much
// bigger for good: hand the free pages back to the system.
void return_free_memory() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

void append_bit(RankedBits& bits, std::size_t position, bool bit) {
  if (position % 64 == 0) bits.words.push_back(0);
  bits.words.back() |= uint64_t{bit} << (position % 64);
}

// Fills the reverse trie, its terminal bits, term_nodes and duplicates of
// `index`, whose preorder is filled, from the visible terms (`scalars`
// long in all) and every visible node's parent.
//
// Breadth first, by a most-significant-digit radix sort of the terms read
// from their ends. A reverse node at depth d is a range of terms sharing
// their last d scalars. Sorting a range by `next` puts the terms that end
// there first and the rest in runs of one scalar: the node's children in
// ascending label order. The ranges of one depth lie left to right in the
// order their nodes are numbered, so a level's ranges are the whole queue.
void build_reverse_trie(const Trie& trie, std::vector<Term>& terms, uint64_t scalars,
                        const std::vector<uint32_t>& parent, ForwardBackwardIndex& index) {
  struct Range {
    uint32_t lo, hi;
  };
  std::vector<Range> level{{0, static_cast<uint32_t>(terms.size())}};
  std::vector<Range> next_level;
  // At most one node per scalar besides the root; the pages never used are
  // never touched, and the vector is cut to size at the end.
  index.reverse.reserve(scalars + 2);
  index.reverse.push_back({U'\0', 0});
  index.term_nodes.reserve(terms.size());
  uint32_t r = 0;
  InterruptPoll poll;
  while (!level.empty()) {
    next_level.clear();
    for (const Range range : level) {
      poll.tick(range.hi - range.lo + 1);  // its terms are moved once each
      Term* const begin = terms.data() + range.lo;
      Term* const end = terms.data() + range.hi;
      std::sort(begin, end, [](const Term& a, const Term& b) { return a.next < b.next; });
      index.reverse[r].first_child = static_cast<uint32_t>(index.reverse.size());
      // Terms that end here: one path string, the first in pre-order named.
      Term* const ended = std::find_if(begin, end, [](const Term& term) { return term.next != U'\0'; });
      append_bit(index.terminal, r, ended != begin);
      if (ended != begin) {
        const Term* first = std::min_element(begin, ended, [&](const Term& a, const Term& b) {
          return index.preorder[a.node] < index.preorder[b.node];
        });
        index.term_nodes.push_back(first->node);
        for (const Term* other = begin; other != ended; ++other) {
          if (other != first) index.duplicates.emplace_back(first->node, other->node);
        }
      }
      for (Term* i = ended; i < end;) {
        const char32_t c = i->next;
        Term* j = i;
        for (; j < end && j->next == c; ++j) {
          j->rest = parent[j->rest];
          j->next = j->rest == 0 ? U'\0' : trie.child_labels[j->rest];
        }
        next_level.push_back({static_cast<uint32_t>(i - terms.data()), static_cast<uint32_t>(j - terms.data())});
        index.reverse.push_back({c, 0});
        i = j;
      }
      ++r;
    }
    std::swap(level, next_level);
  }
  index.reverse.push_back({U'\0', static_cast<uint32_t>(index.reverse.size())});
}

}  // namespace

std::optional<ForwardBackwardIndex> build_forward_backward_index(const Trie& trie) {
  if (trie.node_count() == 0) return std::nullopt;
  ForwardBackwardIndex index;
  {
    // Build temporaries (4 bytes per node, about 20 per term) go before
    // the reverse trie is cut to size.
    std::vector<uint32_t> parent;
    std::optional<VisibleTerms> visible =
        rank_and_link(trie, index.preorder, parent, kMaxIndexedScalarsPerNode * trie.node_count());
    if (!visible) return std::nullopt;
    build_reverse_trie(trie, visible->terms, visible->scalars, parent, index);
  }
  index.children_sorted = true;
  for (uint32_t node = 0; node < trie.node_count() && index.children_sorted; ++node) {
    const EdgeRange range = trie.edges(node);
    for (uint32_t e = range.begin; e + 1 < range.end; ++e) {
      if (trie.walk_edges[e].label > trie.walk_edges[e + 1].label) index.children_sorted = false;
    }
  }
  index.reverse.shrink_to_fit();
  std::sort(index.duplicates.begin(), index.duplicates.end());

  RankedBits& bits = index.terminal;
  bits.before.assign(bits.words.size(), 0);
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
    return_free_memory();
    throw;
  }
  state_.store(State::kBuilt, std::memory_order_release);
  return_free_memory();
  return index_.get();
}

}  // namespace corvalind
