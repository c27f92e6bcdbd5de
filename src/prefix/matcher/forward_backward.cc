#include "prefix/matcher/forward_backward.h"

#include <algorithm>
#include <array>

#include "unicode.h"

namespace corvalind {
namespace {

// A band of the Levenshtein table: row d holds the cells of columns
// d - k .. d + k (cell o is column d + o - k); the others exceed k. Cells
// above k are all stored as k + 1: costs never decrease along a path, so
// such a cell cannot lead back to k or less.
constexpr std::size_t kBandWidth = 2 * kForwardBackwardMaxDist + 1;
using BandRow = std::array<uint8_t, kBandWidth>;

// The longest path a band walk follows: a row at depth d has no cell below
// d - k, so it ends k levels past the query.
constexpr std::size_t kMaxBandDepth = kForwardBackwardMaxQuery + kForwardBackwardMaxDist + 1;

// The part of the table that one search walks: query Q, at most k in all,
// and at most `cap` in the columns below `capped` (none when capped is 0).
struct Band {
  std::u32string_view Q;
  uint8_t k;
  uint8_t far;  // k + 1
  uint32_t capped;
  uint8_t cap;

  uint8_t bound(int64_t column, uint32_t cost) const {
    if (cost > k || (column < capped && cost > cap)) return far;
    return static_cast<uint8_t>(cost);
  }

  BandRow first_row() const {
    BandRow row;
    for (uint32_t o = 0; o < kBandWidth; ++o) {
      const int64_t j = int64_t{o} - k;
      row[o] = o > 2u * k || j < 0 || j > static_cast<int64_t>(Q.size()) ? far : bound(j, static_cast<uint32_t>(j));
    }
    return row;
  }

  // Row depth + 1 from row `depth` and the label c; returns its minimum.
  uint8_t step(const BandRow& prev, BandRow& next, uint32_t depth, char32_t c) const {
    uint8_t least = far;
    uint8_t left = far;  // the cell one column to the left in the new row
    for (uint32_t o = 0; o <= 2u * k; ++o) {
      const int64_t j = int64_t{depth} + 1 + o - k;
      uint32_t cost = far;
      if (j >= 0 && j <= static_cast<int64_t>(Q.size())) {
        if (j >= 1) cost = prev[o] + (Q[j - 1] != c ? 1u : 0u);
        if (o < 2u * k) cost = std::min<uint32_t>(cost, prev[o + 1] + 1u);
        cost = std::min<uint32_t>(cost, left + 1u);
      }
      left = next[o] = bound(j, cost);
      least = std::min(least, left);
    }
    return least;
  }

  // The cell of the last column in row `depth`, or far outside the band.
  uint8_t last_cell(const BandRow& row, uint32_t depth) const {
    const int64_t o = static_cast<int64_t>(Q.size()) - depth + k;
    return o < 0 || o > 2 * k ? far : row[o];
  }
};

// The trie as the band walk reads it: the children of a node are edge
// positions, each with a target and a label (U+0000: invisible).
struct ForwardTree {
  const Trie& trie;
  EdgeRange children_of_node(uint32_t node) const { return trie.edges(node); }
  EdgeRange children_below(uint32_t edge) const {
    const WalkEdge down = trie.walk_edges[edge];
    const uint32_t end = down.edge_count == WalkEdge::kManyEdges ? trie.edges(trie.child_transitions[edge]).end
                                                                  : down.first_edge + down.edge_count;
    return {down.first_edge, end};
  }
  char32_t label(uint32_t edge) const { return trie.walk_edges[edge].label; }
  uint32_t target(uint32_t edge) const { return trie.child_transitions[edge]; }
  bool terminal(uint32_t node) const { return trie.is_terminal[node] != 0; }
};

// The reverse trie: a node's children are the consecutive nodes that
// first_child names, so an edge position is the child itself.
struct ReverseTree {
  const ForwardBackwardIndex& index;
  EdgeRange children_of_node(uint32_t node) const { return {index.first_child[node], index.first_child[node + 1]}; }
  EdgeRange children_below(uint32_t child) const { return children_of_node(child); }
  char32_t label(uint32_t child) const { return index.labels[child]; }
  uint32_t target(uint32_t child) const { return child; }
  bool terminal(uint32_t node) const { return index.terminal.test(node); }

  // The child of `node` labelled c, or 0 when there is none.
  uint32_t child(uint32_t node, char32_t c) const {
    const auto begin = index.labels.begin() + index.first_child[node];
    const auto end = index.labels.begin() + index.first_child[node + 1];
    const auto at = std::lower_bound(begin, end, c);
    return at != end && *at == c ? static_cast<uint32_t>(at - index.labels.begin()) : 0;
  }
};

// Depth-first walk of the band below `start`, whose own row is the band's
// first row. Calls on_match(node, distance, depth) for every terminal node
// below `start` whose last cell is within k, path[path_start ..
// path_start + depth) holding the labels from `start` to it.
template <class Tree, class OnMatch>
void band_walk(const Tree& tree, uint32_t start, const Band& band, char32_t* path, OnMatch&& on_match) {
  std::array<BandRow, kMaxBandDepth + 1> rows;
  std::array<EdgeRange, kMaxBandDepth + 1> pending;
  rows[0] = band.first_row();
  pending[0] = tree.children_of_node(start);
  uint32_t depth = 0;
  for (;;) {
    EdgeRange& top = pending[depth];
    if (top.begin >= top.end) {
      if (depth == 0) return;
      --depth;
      continue;
    }
    const uint32_t edge = top.begin++;
    const char32_t c = tree.label(edge);
    if (c == U'\0' || band.step(rows[depth], rows[depth + 1], depth, c) > band.k) continue;
    path[depth] = c;
    const uint32_t child = tree.target(edge);
    const uint8_t distance = band.last_cell(rows[depth + 1], depth + 1);
    if (distance <= band.k && tree.terminal(child)) on_match(child, distance, depth + 1);
    // A row at depth kMaxBandDepth has no cell within k: its children need no look.
    if (depth + 1 < kMaxBandDepth) pending[++depth] = tree.children_below(edge);
  }
}

std::string text_of(const char32_t* path, std::size_t length, bool reversed) {
  std::string text;
  text.reserve(length);
  for (std::size_t i = 0; i < length; ++i) append_utf8(text, path[reversed ? length - 1 - i : i]);
  return text;
}

}  // namespace

std::vector<TermHit> forward_backward_search(const Trie& trie, const ForwardBackwardIndex& index,
                                             std::u32string_view q, uint32_t max_dist, bool with_text) {
  const auto k = static_cast<uint8_t>(max_dist);
  const auto n = static_cast<uint32_t>(q.size());
  const uint32_t p = (n + 1) / 2 + 1;
  std::vector<TermHit> hits;
  std::array<char32_t, kForwardBackwardMaxQuery + kMaxBandDepth> path;

  // Forward: from the root, at most k - 1 in the columns below p.
  const Band forward{q, k, static_cast<uint8_t>(k + 1), p, static_cast<uint8_t>(k - 1)};
  band_walk(ForwardTree{trie}, 0, forward, path.data(), [&](uint32_t node, uint8_t distance, uint32_t depth) {
    hits.push_back({index.preorder[node], node, distance, with_text ? text_of(path.data(), depth, false) : ""});
  });

  // Backward: q[p-1..n) reversed exactly in the reverse trie, then the rest.
  const ReverseTree reverse{index};
  uint32_t start = 0;
  uint32_t exact = 0;
  for (uint32_t i = n; i-- > p - 1; ++exact) {
    start = reverse.child(start, q[i]);
    if (start == 0) return hits;
    path[exact] = q[i];
  }
  std::array<char32_t, kForwardBackwardMaxQuery> rest;
  std::reverse_copy(q.begin(), q.begin() + (p - 1), rest.begin());
  const Band backward{std::u32string_view(rest.data(), p - 1), k, static_cast<uint8_t>(k + 1), 0, 0};
  const auto report = [&](uint32_t reverse_node, uint32_t distance, uint32_t length) {
    const uint32_t node = index.term_nodes[index.terminal.rank(reverse_node)];
    std::string term = with_text ? text_of(path.data(), length, true) : "";
    const auto& duplicates = index.duplicates;
    for (auto it = std::lower_bound(duplicates.begin(), duplicates.end(), std::pair{node, 0u});
         it != duplicates.end() && it->first == node; ++it) {
      hits.push_back({index.preorder[it->second], it->second, distance, term});
    }
    hits.push_back({index.preorder[node], node, distance, std::move(term)});
  };
  // The term q[p-1..n) itself: the rest of the query all deleted.
  if (p - 1 <= k && reverse.terminal(start)) report(start, p - 1, exact);
  band_walk(reverse, start, backward, path.data() + exact,
            [&](uint32_t node, uint8_t distance, uint32_t depth) { report(node, distance, exact + depth); });

  // Pre-order, each node once with the least cost reported for it.
  std::sort(hits.begin(), hits.end(), [](const TermHit& a, const TermHit& b) {
    return a.rank != b.rank ? a.rank < b.rank : a.distance < b.distance;
  });
  hits.erase(std::unique(hits.begin(), hits.end(), [](const TermHit& a, const TermHit& b) { return a.node == b.node; }),
             hits.end());
  return hits;
}

}  // namespace corvalind
