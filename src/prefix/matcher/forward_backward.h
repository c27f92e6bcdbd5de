// Typo search through the forward-backward index: the stored terms within
// max_dist 1 or 2 of a query, found by two searches that each start with a
// piece of the query matched exactly, so that they visit a few hundred nodes
// where the walk from the root visits thousands.
//
// The query q of n scalars is cut at p = ceil(n/2) + 1 (1-based: the
// prefix q[0..p-1) and the suffix q[p-1..n) share no scalar). Every
// alignment of q with a term t at cost at most k either
//   (forward)  costs at most k - 1 up to its last cell in column p - 1, or
//   (backward) costs at least k there, and so nothing after it: t ends with
//              q[p-1..n) matched exactly, and its rest is within k of
//              q[0..p-1).
// The forward search is the plain table walk from the root with the cells
// of columns below p capped at k - 1; for k = 1 that is an exact descent
// along q[0..p-1) that opens up below. The backward search descends the
// reverse trie along q[p-1..n) reversed and then walks with q[0..p-1)
// reversed. Each reports a cost no lower than the true distance, and the
// case that holds an optimal alignment reports that distance, so the least
// reported cost of a term is its distance.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "prefix/trie/forward_backward_index.h"
#include "prefix/trie/trie.h"

namespace corvalind {

inline constexpr std::size_t kForwardBackwardMinQuery = 3;
inline constexpr std::size_t kForwardBackwardMaxQuery = 64;
inline constexpr uint32_t kForwardBackwardMaxDist = 2;

// Whether forward_backward_search serves a query of `n` scalars at max_dist:
// shorter queries have too little to match exactly, and max_dist 0 is an
// exact descent already.
inline bool forward_backward_serves(std::size_t n, uint32_t max_dist) {
  return n >= kForwardBackwardMinQuery && n <= kForwardBackwardMaxQuery && max_dist >= 1 &&
         max_dist <= kForwardBackwardMaxDist;
}

struct TermHit {
  uint32_t rank;  // pre-order rank of `node`
  uint32_t node;
  uint32_t distance;
  std::string term;  // UTF-8 path string; empty unless asked for
};

// Returns the visible stored terms within max_dist of q, in the order of the
// walk from the root (pre-order), each once with its distance and, when
// with_text, its text: exactly the terminal matches of the walk. Adds the
// number of children it looked at to *visited when given.
// REQUIRES: forward_backward_serves(q.size(), max_dist); `index` built for
// `trie`, a trie with at least one node.
std::vector<TermHit> forward_backward_search(const FinishedTrie& trie, const ForwardBackwardIndex& index,
                                             std::u32string_view q, uint32_t max_dist, bool with_text,
                                             uint64_t* visited = nullptr);

}  // namespace corvalind
