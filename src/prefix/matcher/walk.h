// The depth-first walk from the root that both matchers run for every
// search the forward-backward index does not serve (matcher.h says what it
// finds and costs).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <span>
#include <string_view>
#include <vector>

#include "interrupt.h"
#include "prefix/matcher/levenshtein_rows.h"
#include "prefix/trie/trie.h"

namespace corvalind::detail {

// First edge position at or after `edge` whose target is not labelled
// U+0000 (that target is invisible with its subtree), or `end`.
inline uint32_t next_visible(const WalkEdge* edges, uint32_t edge, uint32_t end) {
  while (edge < end && edges[edge].label == U'\0') ++edge;
  return edge;
}

// The work of computing one row, in interrupt-poll units (about one
// bit-parallel row each).
inline int64_t row_work(const Hyrroe2003Rows&) { return 1; }
template <class Cell>
int64_t row_work(const WagnerFischerRows<Cell>& rows) {
  return static_cast<int64_t>(rows.q.size() / 8 + 1);
}
inline int64_t row_work(const BandedRows& rows) { return static_cast<int64_t>(rows.width / 8 + 1); }

// A node whose children are still to be visited.
struct Frame {
  uint32_t edge;   // next edge position to visit
  uint32_t end;
  uint32_t depth;  // of the node: the length of its path string
};

// The depth-first walk shared by both matchers, whatever the row
// representation (levenshtein_rows.h). Calls on_match(node, distance, path)
// for every node within max_dist (terminal ones only when terminal_only), in
// pre-order, `path` holding the labels from the root (exclusive) to the
// node; stops when on_match returns true.
//
// `top` is the node whose children are being visited, at stack position t;
// stack[0..t) are its pending ancestors. The row of the node at position p
// is in slot p, and its children's rows are computed in slot p + 1, so that
// a child pushed on the stack finds its row in place. A node's last visible
// child takes over its position (its row copied down one slot), so a chain
// costs two slots whatever its length.
//
// REQUIRES: a trie accepted by check_trie and indexed by index_edges, with
// at least one node; `rows` holding row 0 in slot 0.
template <class Rows, class OnMatch>
void walk(const Trie& trie, Rows& rows, uint64_t max_dist, bool terminal_only, std::size_t initial_slots,
          std::size_t max_slots, OnMatch& on_match) {
  // A local, not a member: stores into rows may alias the trie's vectors.
  const WalkEdge* const edges = trie.walk_edges.data();
  std::size_t slots = std::max<std::size_t>(initial_slots, 2);
  rows.reserve(slots);
  std::vector<Frame> stack(slots);
  std::vector<char32_t> path(slots);
  const EdgeRange root = trie.edges(0);
  Frame top{root.begin, root.end, 0};
  uint32_t t = 0;
  const int64_t work_per_row = row_work(rows);
  InterruptPoll poll;

  for (;;) {
    const uint32_t depth = top.depth + 1;
    // The next child whose row has a cell within max_dist: row minima never
    // decrease along a path, so nothing below the others can match.
    const auto step = rows.step(t, t + 1, depth);
    uint32_t edge = top.edge;
    while (edge < top.end && (edges[edge].label == U'\0' || !step(edges[edge].label))) ++edge;
    poll.tick(int64_t{edge - top.edge + 1} * work_per_row);
    if (edge >= top.end) {
      if (t == 0) return;
      top = stack[--t];
      continue;
    }
    const WalkEdge down = edges[edge];
    // The child's edges are read last: start fetching them now.
    __builtin_prefetch(edges + down.first_edge);
    top.edge = next_visible(edges, edge + 1, top.end);

    if (depth > path.size()) path.resize(2 * path.size());
    path[depth - 1] = down.label;
    const uint64_t distance = rows.last_cell(t + 1);
    if (distance <= max_dist && (!terminal_only || down.terminal) &&
        on_match(trie.child_transitions[edge], static_cast<uint32_t>(distance),
                 std::span<const char32_t>(path.data(), depth))) {
      return;
    }

    const uint32_t end = trie.edges_below(edge).end;
    const uint32_t first = next_visible(edges, down.first_edge, end);
    if (first >= end) continue;
    if (top.edge < top.end) {
      if (t + 2 >= slots) {
        if (slots >= max_slots) throw std::bad_alloc();
        slots = std::min(2 * slots, max_slots);
        rows.reserve(slots);
        stack.resize(slots);
      }
      stack[t++] = top;
    } else {
      // The node's row is no longer needed: the child takes over its place.
      rows.copy(t + 1, t);
    }
    top = {first, end, depth};
  }
}

// Row storage starts at this many bytes when the walk may need that much;
// enough for every row of a typical query, so the walk allocates once.
constexpr std::size_t kInitialRowBytes = 8192;
// Row storage never grows past this many bytes: only a long query on a trie
// thousands of levels deep with branches all the way down needs more, and
// it gets MemoryError instead of a process the system runs out of memory.
constexpr std::size_t kMaxRowBytes = std::size_t{256} << 20;

// Runs the walk with bit-parallel rows when the query fits a machine word,
// else with the narrowest cells that hold every value the walk can meet.
// REQUIRES: a finished trie with at least one node.
template <class OnMatch>
void walk_from_root(const Trie& trie, std::u32string_view q, uint32_t max_dist, bool terminal_only,
                    OnMatch on_match) {
  const uint64_t n = q.size();
  // A row at depth d has a minimum of at least d - n, so rows deeper than
  // n + max_dist + 1 are never computed; no path is longer than N - 1.
  const uint64_t max_depth = std::min<uint64_t>(n + max_dist + 1, trie.node_count() - 1);
  // The walk with rows of `row_bytes` each.
  const auto run = [&](auto& rows, std::size_t row_bytes) {
    const std::size_t initial_slots = std::min<uint64_t>(max_depth + 1, kInitialRowBytes / row_bytes);
    walk(trie, rows, max_dist, terminal_only, initial_slots, std::max<std::size_t>(kMaxRowBytes / row_bytes, 2),
         on_match);
  };
  if (n >= 1 && n <= 64) {
    Hyrroe2003Rows rows(q, max_dist);
    run(rows, sizeof(BitRow));
    return;
  }
  if (2 * uint64_t{max_dist} + 1 < n + 1) {
    BandedRows rows(q, max_dist);
    run(rows, rows.width * sizeof(uint32_t));
    return;
  }
  // A cell is a distance between strings of at most max(n, max_depth)
  // scalars, and the walk adds 1 to a cell before taking a minimum.
  const uint64_t max_cell = std::max(n, max_depth) + 1;
  const uint64_t dist = std::min<uint64_t>(max_dist, max_cell);
  if (max_cell <= std::numeric_limits<uint16_t>::max()) {
    WagnerFischerRows<uint16_t> rows(q, static_cast<uint16_t>(dist));
    run(rows, (n + 1) * sizeof(uint16_t));
  } else if (max_cell <= std::numeric_limits<uint32_t>::max()) {
    WagnerFischerRows<uint32_t> rows(q, static_cast<uint32_t>(dist));
    run(rows, (n + 1) * sizeof(uint32_t));
  } else {
    // Rows of 2^32 cells: more than any process can hold.
    throw std::bad_alloc();
  }
}

}  // namespace corvalind::detail
