// The forward-backward index of a trie (Mihov and Schulz, "Fast approximate
// search in large dictionaries", 2004): a second trie holding every stored
// term reversed, so that a typo search can start from the exact end of the
// query as well as from its exact start. Derived from the trie, never
// stored in snapshots, and built on the first search that needs it.
//
// Only visible stored terms take part: terminal nodes other than the root
// whose path from the root enters no node labelled U+0000 (the matchers
// never see the others).
#pragma once

#include <atomic>
#include <bit>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace corvalind {

struct Trie;

// One bit per position, with the number of set bits before any position in
// constant time.
struct RankedBits {
  std::vector<uint64_t> words;
  std::vector<uint32_t> before;  // per word: set bits in the words before it

  bool test(uint32_t i) const { return (words[i >> 6] >> (i & 63)) & 1; }
  // REQUIRES: test(i).
  uint32_t rank(uint32_t i) const {
    return before[i >> 6] + static_cast<uint32_t>(std::popcount(words[i >> 6] & ((uint64_t{1} << (i & 63)) - 1)));
  }
};

struct ForwardBackwardIndex {
  // Pre-order rank of every visible node: the order in which the walk of
  // the trie meets them, and so the order of its results. 0 elsewhere.
  std::vector<uint32_t> preorder;  // N
  // Whether the labels of every node's edges are in ascending order (equal
  // ones allowed), so that a search may find a label by bisection.
  bool children_sorted = false;

  // The reverse trie. Node 0 is its root; nodes are numbered breadth first,
  // so the children of node r are the nodes reverse[r].first_child ..
  // reverse[r + 1].first_child - 1, in ascending label order (a label once
  // per parent). reverse[r].label is the label of the edge into node r; the
  // last entry only closes the children of the last node. A node's label
  // and its children's place share a cache line.
  struct ReverseNode {
    char32_t label;
    uint32_t first_child;
  };
  std::vector<ReverseNode> reverse;  // R + 1
  RankedBits terminal;                // R bits: node r ends a reversed term
  // Per terminal node, in node order (terminal.rank(r)): the trie node of
  // the term; of several with the same path string, the first in pre-order.
  std::vector<uint32_t> term_nodes;
  // (first, other): trie node `other` has the same path string as `first`,
  // which term_nodes names. Sorted; empty when every term is stored once.
  std::vector<std::pair<uint32_t, uint32_t>> duplicates;
};

// Stored terms may be this many scalars long in all per trie node before a
// trie gets no index: enough for any vocabulary (about 4 for words), and it
// keeps the index of a crafted trie (a long chain with a term at every
// node, whose reversed terms share nothing) from growing quadratically.
inline constexpr uint64_t kMaxIndexedScalarsPerNode = 16;

// Builds the index, or returns nullopt for a trie without nodes and when
// the visible terms are longer in all than kMaxIndexedScalarsPerNode per
// node. Time: a pre-order walk of the trie and a radix sort of its terms
// read from their ends, which touches each of their scalars once (about
// 0.12 s per million nodes of a word list); memory: about 17 bytes per
// node for real vocabularies, and during the build another 4 per node and
// 12 per term. Throws std::bad_alloc.
// REQUIRES: a finished trie.
std::optional<ForwardBackwardIndex> build_forward_backward_index(const Trie& trie);

// The index of one trie, built by the first call of get() and kept until
// the trie is destroyed. No call ever waits for another: the build runs
// with no lock held, since its interrupt poll runs Python code (signal
// handlers, the garbage collector and the __del__ methods it calls) that
// may pass the interpreter to another thread or query this trie again on
// the same thread. While one call builds, every other call (that same
// thread's included) gets nullptr, as it does for a trie that gets no
// index, and walks the trie instead: same results, more time. A build that
// throws leaves nothing behind, and the next call tries again. Either way
// the memory the build freed goes back to the system (malloc_trim). Safe
// to call from several threads at once.
class LazyForwardBackwardIndex {
 public:
  const ForwardBackwardIndex* get(const Trie& trie) const;

 private:
  enum class State : uint8_t { kUnbuilt, kBuilding, kBuilt };
  mutable std::atomic<State> state_{State::kUnbuilt};
  // Written by the one call that builds, before it publishes kBuilt.
  mutable std::unique_ptr<const ForwardBackwardIndex> index_;
};

}  // namespace corvalind
