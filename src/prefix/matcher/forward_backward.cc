#include "prefix/matcher/forward_backward.h"

#include <algorithm>
#include <array>
#include <ranges>
#include <span>

#include "interrupt.h"
#include "utf8.h"

namespace corvalind {
namespace {

// The longest query and path a band walk handles: a row at depth d has no
// cell below column d - K, so the walk ends K levels past the query.
constexpr std::size_t kMaxBandDepth = kForwardBackwardMaxQuery + kForwardBackwardMaxDist + 1;

// A band of the Levenshtein table at max_dist K: the row of depth d holds
// the cells of columns d - K .. d + K (cell o is column d + o - K), the only
// ones that can be within K. Every cost above its column's limit is stored
// as K + 1: costs never decrease along a path, so such a cell cannot lead
// back within a limit.
//
// A child's row depends on its label only through which query scalars of
// the band's diagonal it equals; for most children none, and those all get
// the same row, computed once per node.
template <uint32_t K>
struct Band {
  static constexpr uint32_t kCells = 2 * K + 1;
  static constexpr uint8_t kFar = K + 1;
  // One more cell than the band, always kFar: the cell above the last one.
  using Row = std::array<uint8_t, kCells + 1>;

  uint32_t m;  // query scalars
  // diagonal[i + K + 1] = Q[i]; kNoScalar, which no label is, elsewhere.
  static constexpr char32_t kNoScalar = 0xFFFFFFFF;
  std::array<char32_t, kMaxBandDepth + 3 * K + 3> diagonal;
  // limit[j + K + 1]: the most a cell of column j may cost: `cap` below
  // column `capped`, K up to column m, 0 outside 0..m (so it is always
  // pruned there: a cell outside costs at least 1).
  std::array<uint8_t, kMaxBandDepth + 3 * K + 3> limit;

  // The band of query Q with the columns below `capped` limited to `cap`.
  Band(std::u32string_view Q, uint32_t capped, uint8_t cap) : m(static_cast<uint32_t>(Q.size())) {
    diagonal.fill(kNoScalar);
    std::copy(Q.begin(), Q.end(), diagonal.begin() + K + 1);
    limit.fill(0);
    for (uint32_t j = 0; j <= m; ++j) limit[j + K + 1] = j < capped ? cap : K;
  }

  Row first_row() const {
    Row row;
    row.fill(kFar);
    for (uint32_t j = 0; j <= K && j <= m; ++j) row[j + K] = j > limit[j + K + 1] ? kFar : static_cast<uint8_t>(j);
    return row;
  }

  // Bit o: the diagonal step into cell o of row depth + 1 matches c.
  uint32_t matches(uint32_t depth, char32_t c) const {
    uint32_t eq = 0;
    for (uint32_t o = 0; o < kCells; ++o) eq |= uint32_t{diagonal[depth + o + 1] == c} << o;
    return eq;
  }

  // Row depth + 1 from row `depth` for a label with these matches; returns
  // its minimum.
  uint8_t step(const Row& prev, Row& next, uint32_t depth, uint32_t eq) const {
    uint8_t least = kFar;
    uint8_t left = kFar;  // the cell one column to the left in the new row
    for (uint32_t o = 0; o < kCells; ++o) {
      const uint32_t diagonal_cost = prev[o] + (((eq >> o) & 1) ^ 1);
      const uint32_t cost = std::min({diagonal_cost, prev[o + 1] + 1u, left + 1u});
      left = cost > limit[depth + o + 2] ? kFar : static_cast<uint8_t>(cost);
      next[o] = left;
      least = std::min(least, left);
    }
    next[kCells] = kFar;
    return least;
  }

  // The cell of column m in row `depth`, or kFar outside the band.
  uint8_t last_cell(const Row& row, uint32_t depth) const {
    const int64_t o = int64_t{m} + K - depth;
    return o < 0 || o >= kCells ? kFar : row[o];
  }
};

// The trie as the band walk reads it: the children of a node are edge
// positions, each with a target and a label (U+0000: invisible). When every
// node's labels are in ascending order, labelled() finds the children of
// one label by binary search.
struct ForwardTree {
  const Trie& trie;
  bool sorted;

  EdgeRange children_of_node(uint32_t node) const { return trie.edges(node); }
  EdgeRange children_below(uint32_t edge) const {
    // The first of them is read next: start fetching it now.
    __builtin_prefetch(trie.walk_edges.data() + trie.walk_edges[edge].first_edge);
    return trie.edges_below(edge);
  }
  char32_t label(uint32_t edge) const { return trie.walk_edges[edge].label; }
  uint32_t target(uint32_t edge) const { return trie.child_transitions[edge]; }
  // Whether the target of `edge` ends a stored term.
  bool ends_term(uint32_t edge) const { return trie.walk_edges[edge].terminal != 0; }
  EdgeRange labelled(EdgeRange range, char32_t c) const {
    const WalkEdge* edges = trie.walk_edges.data();
    const WalkEdge* lo = std::partition_point(edges + range.begin, edges + range.end,
                                              [c](const WalkEdge& e) { return e.label < c; });
    const WalkEdge* hi = std::partition_point(lo, edges + range.end, [c](const WalkEdge& e) { return e.label == c; });
    return {static_cast<uint32_t>(lo - edges), static_cast<uint32_t>(hi - edges)};
  }
};

// The reverse trie: a node's children are consecutive nodes, so an edge
// position is the child itself. Labels are in ascending order, each once
// per parent.
struct ReverseTree {
  const ForwardBackwardIndex& index;
  static constexpr bool sorted = true;

  EdgeRange children_of_node(uint32_t node) const {
    return {index.reverse[node].first_child, index.reverse[node + 1].first_child};
  }
  EdgeRange children_below(uint32_t child) const { return children_of_node(child); }
  char32_t label(uint32_t child) const { return index.reverse[child].label; }
  uint32_t target(uint32_t child) const { return child; }
  bool ends_term(uint32_t child) const { return index.terminal.test(child); }
  EdgeRange labelled(EdgeRange range, char32_t c) const {
    const auto begin = index.reverse.begin();
    const auto at = std::partition_point(begin + range.begin, begin + range.end,
                                         [c](const ForwardBackwardIndex::ReverseNode& r) { return r.label < c; });
    const auto lo = static_cast<uint32_t>(at - begin);
    return {lo, at != begin + range.end && at->label == c ? lo + 1 : lo};
  }

  // The child of `node` labelled c, or 0 when there is none.
  uint32_t child(uint32_t node, char32_t c) const {
    const EdgeRange found = labelled(children_of_node(node), c);
    return found.begin < found.end ? found.begin : 0;
  }
};

// Children a node has before finding those of a few labels by binary
// search beats looking at each.
constexpr uint32_t kScanLimit = 8;

// Depth-first walk of the band below `start`, whose own row is the band's
// first row. Calls on_match(node, distance, depth) for every terminal node
// below `start` whose last cell is within K, in pre-order, path[0 .. depth)
// holding the labels from `start` to it. Returns the number of children it
// looked at.
template <uint32_t K, class Tree, class OnMatch>
uint64_t band_walk(const Tree& tree, uint32_t start, const Band<K>& band, char32_t* path, OnMatch&& on_match) {
  using Row = typename Band<K>::Row;
  constexpr uint32_t kCells = Band<K>::kCells;
  // A node whose children are being looked at. When a child whose label
  // matches no scalar of the band's diagonal cannot stay within the limits,
  // neither can one whose label matches only where the diagonal starts from
  // a cell past its limit (the leftmost cell within a limit must come from a
  // match on the diagonal), so only the children labelled with one of the
  // other scalars are looked at.
  struct Level {
    std::array<EdgeRange, kCells> runs;  // children still to look at
    uint32_t run, run_count;
    Row mismatch;  // the row of a child whose label matches nothing
    bool mismatch_alive;
  };
  std::array<Row, kMaxBandDepth + 1> rows;
  std::array<Level, kMaxBandDepth + 1> levels;
  // Makes the level of the node at `depth` (its row in place) with these children.
  const auto enter = [&](uint32_t depth, EdgeRange children) {
    Level& level = levels[depth];
    level.run = 0;
    level.run_count = 1;
    level.runs[0] = children;
    if (children.begin >= children.end) return;
    level.mismatch_alive = band.step(rows[depth], level.mismatch, depth, 0) <= K;
    if (level.mismatch_alive || !tree.sorted || children.end - children.begin <= kScanLimit) return;
    level.run_count = 0;
    const Row& row = rows[depth];
    std::array<char32_t, kCells> wanted;
    uint32_t wanted_count = 0;
    for (uint32_t o = 0; o < kCells; ++o) {
      const char32_t c = band.diagonal[depth + o + 1];
      if (c == Band<K>::kNoScalar || row[o] > band.limit[depth + o + 2]) continue;
      if (std::find(wanted.begin(), wanted.begin() + wanted_count, c) != wanted.begin() + wanted_count) continue;
      wanted[wanted_count++] = c;
      level.runs[level.run_count++] = tree.labelled(children, c);
    }
    // In edge order, so that matches still come in pre-order.
    std::sort(level.runs.begin(), level.runs.begin() + level.run_count,
              [](const EdgeRange& a, const EdgeRange& b) { return a.begin < b.begin; });
  };
  rows[0] = band.first_row();
  enter(0, tree.children_of_node(start));
  uint32_t depth = 0;
  uint64_t looked = 0;
  InterruptPoll poll;
  for (;;) {
    Level& level = levels[depth];
    while (level.run < level.run_count && level.runs[level.run].begin >= level.runs[level.run].end) ++level.run;
    if (level.run == level.run_count) {
      if (depth == 0) return looked;
      --depth;
      continue;
    }
    const uint32_t edge = level.runs[level.run].begin++;
    const char32_t c = tree.label(edge);
    if (c == U'\0') continue;
    ++looked;
    poll.tick();
    const uint32_t eq = band.matches(depth, c);
    if (eq == 0) {
      if (!level.mismatch_alive) continue;
      rows[depth + 1] = level.mismatch;
    } else if (band.step(rows[depth], rows[depth + 1], depth, eq) > K) {
      continue;
    }
    path[depth] = c;
    const uint8_t distance = band.last_cell(rows[depth + 1], depth + 1);
    if (distance <= K && tree.ends_term(edge)) on_match(tree.target(edge), distance, depth + 1);
    // A row at depth kMaxBandDepth has no cell within K: its children need no look.
    if (depth + 1 < kMaxBandDepth) {
      ++depth;
      enter(depth, tree.children_below(edge));
    }
  }
}

using Path = std::array<char32_t, kForwardBackwardMaxQuery + kMaxBandDepth>;

// The forward case: from the root, at most K - 1 in the columns below p.
template <uint32_t K>
uint64_t forward_case(const Trie& trie, const ForwardBackwardIndex& index, std::u32string_view q, uint32_t p,
                      bool with_text, std::vector<TermHit>& hits) {
  Path path;
  const Band<K> band(q, p, K - 1);
  const ForwardTree tree{trie, index.children_sorted};
  return band_walk(tree, 0, band, path.data(), [&](uint32_t node, uint8_t distance, uint32_t depth) {
    std::string term = with_text ? utf8_text(std::span(path.data(), depth)) : "";
    hits.push_back({index.preorder[node], node, distance, std::move(term)});
  });
}

// The backward case: q[p-1..n) reversed exactly in the reverse trie, then
// at most K against the rest of the query, reversed.
template <uint32_t K>
uint64_t backward_case(const ForwardBackwardIndex& index, std::u32string_view q, uint32_t p, bool with_text,
                       std::vector<TermHit>& hits) {
  const ReverseTree reverse{index};
  Path path;
  uint32_t start = 0;
  uint32_t exact = 0;
  for (std::size_t i = q.size(); i-- > p - 1;) {
    start = reverse.child(start, q[i]);
    if (start == 0) return exact;
    path[exact++] = q[i];
  }
  std::array<char32_t, kForwardBackwardMaxQuery> rest;
  std::reverse_copy(q.begin(), q.begin() + (p - 1), rest.begin());
  const Band<K> band(std::u32string_view(rest.data(), p - 1), 0, 0);
  // A reverse path names the term read backwards, and every trie node that
  // has that path string.
  const auto report = [&](uint32_t reverse_node, uint32_t distance, uint32_t length) {
    const uint32_t node = index.term_nodes[index.terminal.rank(reverse_node)];
    std::string term = with_text ? utf8_text(std::span(path.data(), length) | std::views::reverse) : "";
    const auto& duplicates = index.duplicates;
    for (auto it = std::lower_bound(duplicates.begin(), duplicates.end(), std::pair{node, 0u});
         it != duplicates.end() && it->first == node; ++it) {
      hits.push_back({index.preorder[it->second], it->second, distance, term});
    }
    hits.push_back({index.preorder[node], node, distance, std::move(term)});
  };
  // The term q[p-1..n) itself: the rest of the query all deleted.
  if (p - 1 <= K && reverse.ends_term(start)) report(start, p - 1, exact);
  return exact + band_walk(reverse, start, band, path.data() + exact, [&](uint32_t node, uint8_t distance,
                                                                         uint32_t depth) {
           report(node, distance, exact + depth);
         });
}

}  // namespace

std::vector<TermHit> forward_backward_search(const Trie& trie, const ForwardBackwardIndex& index,
                                             std::u32string_view q, uint32_t max_dist, bool with_text,
                                             uint64_t* visited) {
  const uint32_t p = static_cast<uint32_t>(q.size() + 1) / 2 + 1;
  // The forward case finds its terms in pre-order; the backward one, by the
  // reverse trie, in no order the trie knows.
  std::vector<TermHit> forward;
  std::vector<TermHit> backward;
  const uint64_t steps = max_dist == 1 ? forward_case<1>(trie, index, q, p, with_text, forward) +
                                             backward_case<1>(index, q, p, with_text, backward)
                                       : forward_case<2>(trie, index, q, p, with_text, forward) +
                                             backward_case<2>(index, q, p, with_text, backward);
  if (visited != nullptr) *visited += steps;
  std::sort(backward.begin(), backward.end(), [](const TermHit& a, const TermHit& b) { return a.rank < b.rank; });

  // Merged in pre-order, a term both found once with the lesser cost.
  std::vector<TermHit> hits;
  hits.reserve(forward.size() + backward.size());
  auto f = forward.begin();
  auto b = backward.begin();
  while (f != forward.end() || b != backward.end()) {
    if (b == backward.end() || (f != forward.end() && f->rank < b->rank)) {
      hits.push_back(std::move(*f++));
    } else if (f == forward.end() || b->rank < f->rank) {
      hits.push_back(std::move(*b++));
    } else {
      hits.push_back(std::move(f->distance <= b->distance ? *f : *b));
      ++f;
      ++b;
    }
  }
  return hits;
}

}  // namespace corvalind
