#include "prefix/matcher/matcher.h"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <new>
#include <span>

namespace corvalind {
namespace {

// REQUIRES: valid UTF-8 (terms come from Python str objects). A truncated
// sequence at the end is read only as far as it goes.
std::u32string decode_utf8(std::string_view utf8) {
  std::u32string scalars;
  scalars.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    char32_t scalar = length == 1 ? lead : lead & (0x7Fu >> length);
    const std::size_t end = std::min(i + length, utf8.size());
    for (++i; i < end; ++i) scalar = (scalar << 6) | (static_cast<unsigned char>(utf8[i]) & 0x3Fu);
    scalars.push_back(scalar);
  }
  return scalars;
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// One step of the Wagner-Fischer table: fills `cur`, the row of the path
// string extended by `c` (cur[0] = its length `first`), from `prev`, the row
// of the path string. Returns the row minimum. Both rows have q.size() + 1
// cells.
template <class Cell>
Cell next_row(const Cell* prev, Cell* cur, std::u32string_view q, char32_t c, Cell first) {
  cur[0] = first;
  Cell row_min = first;
  for (std::size_t j = 1; j <= q.size(); ++j) {
    const auto substitution = static_cast<Cell>(prev[j - 1] + (q[j - 1] != c));
    const auto indel = static_cast<Cell>(std::min(prev[j], cur[j - 1]) + 1);
    const Cell cell = std::min(substitution, indel);
    cur[j] = cell;
    row_min = std::min(row_min, cell);
  }
  return row_min;
}

// First edge position at or after `edge` whose target is not labelled
// U+0000 (that target is invisible with its subtree), or `end`.
uint32_t next_visible(const Trie& trie, uint32_t edge, uint32_t end) {
  while (edge < end && trie.child_labels[trie.child_transitions[edge]] == U'\0') ++edge;
  return edge;
}

// A node whose children are still to be visited.
struct Frame {
  uint32_t edge;   // next visible edge position, or >= end when done
  uint32_t end;
  uint32_t depth;  // of the node: the length of its path string
  uint32_t slot;   // row slot holding the node's row
};

// Row storage starts at this many cells when the walk may need that much;
// enough for every row of a typical query, so the walk allocates once.
constexpr std::size_t kInitialCells = 4096;

// The depth-first walk shared by both matchers. Calls
// on_match(node, distance, path) for every node within max_dist (terminal
// ones only when terminal_only), in pre-order, `path` holding the labels
// from the root (exclusive) to the node; stops when on_match returns true.
//
// Rows live in slots of one array. frames[0..live) are the pending nodes,
// each owning a distinct slot; frames[live].slot is the scratch slot where a
// child's row is computed. A popped frame keeps its slot in place as the new
// scratch, so slots are never lost; descending into a node's last visible
// child replaces the node's frame, so a chain costs two slots whatever its
// length.
//
// REQUIRES: a trie accepted by check_trie with at least one node; Cell
// holds max(n, max_depth) + 1, where max_depth bounds the depth of every row
// the walk computes.
template <class Cell, class OnMatch>
void walk(const Trie& trie, std::u32string_view q, Cell max_dist, bool terminal_only, uint64_t max_depth,
          OnMatch& on_match) {
  const std::size_t width = q.size() + 1;
  const std::size_t initial_slots =
      std::max<std::size_t>(2, std::min<uint64_t>(max_depth + 1, kInitialCells / width));
  std::vector<Cell> cells(initial_slots * width);
  for (std::size_t j = 0; j < width; ++j) cells[j] = static_cast<Cell>(j);
  const auto row = [&](uint32_t slot) { return cells.data() + slot * width; };

  std::vector<Frame> frames;
  frames.reserve(initial_slots);
  const EdgeRange root = trie.edges(0);
  frames.push_back({next_visible(trie, root.begin, root.end), root.end, 0, 0});
  frames.push_back({0, 0, 0, 1});
  std::size_t live = 1;
  std::vector<char32_t> path;

  while (live > 0) {
    Frame& frame = frames[live - 1];
    if (frame.edge >= frame.end) {
      --live;
      continue;
    }
    const uint32_t child = trie.child_transitions[frame.edge];
    const char32_t label = trie.child_labels[child];
    frame.edge = next_visible(trie, frame.edge + 1, frame.end);
    const uint32_t depth = frame.depth + 1;
    Cell* cur = row(frames[live].slot);
    // Row minima never decrease along a path: nothing below can match.
    if (next_row(row(frame.slot), cur, q, label, static_cast<Cell>(depth)) > max_dist) continue;

    path.resize(frame.depth);
    path.push_back(label);
    const Cell distance = cur[q.size()];
    if (distance <= max_dist && (!terminal_only || trie.is_terminal[child]) &&
        on_match(child, static_cast<uint32_t>(distance), std::span<const char32_t>(path))) {
      return;
    }

    const EdgeRange edges = trie.edges(child);
    const uint32_t first = next_visible(trie, edges.begin, edges.end);
    if (first >= edges.end) continue;
    if (frame.edge >= frame.end) {
      // The node's row is no longer needed: the child takes over its frame.
      std::swap(frame.slot, frames[live].slot);
      frame = {first, edges.end, depth, frame.slot};
      continue;
    }
    frames[live] = {first, edges.end, depth, frames[live].slot};
    ++live;
    if (live == frames.size()) {
      const auto slot = static_cast<uint32_t>(frames.size());
      if ((slot + 1) * width > cells.size()) cells.resize(std::max(2 * cells.size(), (slot + 1) * width));
      frames.push_back({0, 0, 0, slot});
    }
  }
}

// Decodes the term and runs the walk with the narrowest cells that hold
// every value it can meet.
template <class OnMatch>
void search(const Trie& trie, std::string_view term, uint32_t max_dist, bool terminal_only, OnMatch on_match) {
  if (trie.node_count() == 0) return;
  const std::u32string q = decode_utf8(term);
  const uint64_t n = q.size();
  // A row at depth d has a minimum of at least d - n, so rows deeper than
  // n + max_dist + 1 are never computed; no path is longer than N - 1.
  const uint64_t max_depth = std::min<uint64_t>(n + max_dist + 1, trie.node_count() - 1);
  // A cell is a distance between strings of at most max(n, max_depth)
  // scalars, and the walk adds 1 to a cell before taking a minimum.
  const uint64_t max_cell = std::max(n, max_depth) + 1;
  const uint64_t dist = std::min<uint64_t>(max_dist, max_cell);
  if (max_cell <= std::numeric_limits<uint16_t>::max()) {
    walk<uint16_t>(trie, q, static_cast<uint16_t>(dist), terminal_only, max_depth, on_match);
  } else if (max_cell <= std::numeric_limits<uint32_t>::max()) {
    walk<uint32_t>(trie, q, static_cast<uint32_t>(dist), terminal_only, max_depth, on_match);
  } else {
    // Rows of 2^32 cells: more than any process can hold.
    throw std::bad_alloc();
  }
}

}  // namespace

std::vector<MatchResult> fuzzy_match(const Trie& trie, std::string_view term, uint32_t max_dist,
                                     std::optional<uint64_t> limit) {
  std::vector<MatchResult> matches;
  search(trie, term, max_dist, true, [&](uint32_t node, uint32_t distance, std::span<const char32_t> path) {
    std::string text;
    text.reserve(path.size());
    for (const char32_t c : path) append_utf8(text, c);
    matches.push_back({std::move(text), node, distance});
    return limit && matches.size() >= *limit;
  });
  return matches;
}

std::vector<NodeMatch> fuzzy_match_nodes(const Trie& trie, std::string_view term, uint32_t max_dist,
                                         std::optional<uint64_t> limit, bool terminal_only) {
  std::vector<NodeMatch> matches;
  search(trie, term, max_dist, terminal_only, [&](uint32_t node, uint32_t distance, std::span<const char32_t>) {
    matches.push_back({node, distance});
    return limit && matches.size() >= *limit;
  });
  return matches;
}

}  // namespace corvalind
