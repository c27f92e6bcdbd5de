// The rows of the Levenshtein table that the trie walk carries, in two
// representations. Row d belongs to a path string of d scalars: cell j is
// its distance to the first j query scalars, so cell 0 is d and cell n the
// distance to the whole query.
//
// Both keep rows in numbered slots (slot 0 holds row 0 from the start) and
// offer the same operations:
//   reserve(slots)          room for slots 0 .. slots - 1, and no more (the
//                           walk grows `slots` geometrically);
//   copy(from, to)          copies the row of slot `from` into slot `to`;
//   step(from, to, depth)   a callable for the children of the node whose
//                           row is in slot `from`, at depth `depth`:
//                           step(c) puts into slot `to` the row extended by
//                           the scalar c and returns false when every cell
//                           of it exceeds max_dist (then slot `to` holds
//                           garbage). Valid until the next reserve;
//   last_cell(slot)         cell n of the row in `slot`, or some value above
//                           max_dist when that cell is above it.
// Distances within max_dist are exact in both; pruning decisions are equal.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace corvalind::detail {

// Wagner-Fischer: all n + 1 cells of a row, Cell wide enough for every
// value the walk meets. For the empty query and queries over 64 scalars.
template <class Cell>
struct WagnerFischerRows {
  std::u32string_view q;
  Cell max_dist;
  std::vector<Cell> cells;  // slot s: cells[s * (n + 1) ..]

  WagnerFischerRows(std::u32string_view query, Cell dist) : q(query), max_dist(dist), cells(q.size() + 1) {
    for (std::size_t j = 0; j <= q.size(); ++j) cells[j] = static_cast<Cell>(j);
  }

  Cell* row(uint32_t slot) { return cells.data() + slot * (q.size() + 1); }

  void reserve(std::size_t slots) {
    const std::size_t size = slots * (q.size() + 1);
    if (size > cells.size()) cells.resize(size);
  }

  // One row of the table: cur[j] = min(prev[j] + 1, cur[j-1] + 1,
  // prev[j-1] + (q[j-1] != c)), cur[0] = depth.
  struct Step {
    std::u32string_view q;
    const Cell* prev;
    Cell* cur;
    Cell depth;
    Cell max_dist;

    bool operator()(char32_t c) const {
      cur[0] = depth;
      Cell row_min = depth;
      for (std::size_t j = 1; j <= q.size(); ++j) {
        const auto substitution = static_cast<Cell>(prev[j - 1] + (q[j - 1] != c));
        const auto indel = static_cast<Cell>(std::min(prev[j], cur[j - 1]) + 1);
        cur[j] = std::min(substitution, indel);
        row_min = std::min(row_min, cur[j]);
      }
      return row_min <= max_dist;
    }
  };

  Step step(uint32_t from, uint32_t to, uint32_t depth) {
    return {q, row(from), row(to), static_cast<Cell>(depth), max_dist};
  }

  void copy(uint32_t from, uint32_t to) { std::copy_n(row(from), q.size() + 1, row(to)); }

  uint64_t last_cell(uint32_t slot) { return row(slot)[q.size()]; }
};

// Ukkonen's band: cell j of row d is at least |d - j|, so only the 2k + 1
// cells of columns d - k .. d + k can be within max_dist k. A row keeps
// just those (cell o is column d - k + o) and every cost above k is stored
// as k + 1, which pruning and matching read as "above k" exactly as they
// read the true cost. For long queries at small max_dist: 2k + 1 cells per
// visited node whatever the query's length.
// REQUIRES (for the caller's benefit, not correctness): 2k + 1 < n + 1.
struct BandedRows {
  std::u32string_view q;
  uint32_t k;
  uint32_t width;  // 2k + 1
  std::vector<uint32_t> cells;   // slot s: cells[s * width ..]
  std::vector<uint32_t> depths;  // slot s: the depth of its row

  // REQUIRES: 2 * dist + 1 < 2^32.
  BandedRows(std::u32string_view query, uint32_t dist)
      : q(query), k(dist), width(2 * dist + 1), cells(width), depths(1, 0) {
    // Row 0: cell j is j, for the columns 0 .. k (k < n here).
    for (uint32_t o = 0; o < width; ++o) cells[o] = o < k ? k + 1 : o - k;
  }

  uint32_t* row(uint32_t slot) { return cells.data() + std::size_t{slot} * width; }

  void reserve(std::size_t slots) {
    if (slots * width > cells.size()) cells.resize(slots * width);
    if (slots > depths.size()) depths.resize(slots);
  }

  struct Step {
    BandedRows* rows;
    const uint32_t* prev;
    uint32_t* cur;
    uint32_t to;
    uint32_t depth;  // of the new row

    // cur[o] is column j = depth - k + o: min(prev[o + 1] + 1 (above),
    // cur[o - 1] + 1 (left), prev[o] + (q[j-1] != c) (diagonal)), each
    // capped at k + 1.
    bool operator()(char32_t c) const {
      const uint32_t k = rows->k;
      const uint32_t far = k + 1;
      const int64_t n = static_cast<int64_t>(rows->q.size());
      const int64_t first_column = int64_t{depth} - k;
      const char32_t* q = rows->q.data();
      uint32_t left = far;
      uint32_t least = far;
      for (uint32_t o = 0; o < rows->width; ++o) {
        const int64_t j = first_column + o;
        uint32_t cost = far;
        if (j == 0) {
          cost = std::min(depth, far);
        } else if (j > 0 && j <= n) {
          const uint32_t above = o + 1 < rows->width ? prev[o + 1] : far;
          cost = std::min({above + 1, left + 1, prev[o] + (q[j - 1] != c ? 1u : 0u), far});
        }
        cur[o] = cost;
        left = cost;
        least = std::min(least, cost);
      }
      rows->depths[to] = depth;
      return least <= k;
    }
  };

  Step step(uint32_t from, uint32_t to, uint32_t depth) { return {this, row(from), row(to), to, depth}; }

  void copy(uint32_t from, uint32_t to) {
    std::copy_n(row(from), width, row(to));
    depths[to] = depths[from];
  }

  // Cell n, at o = n - depth + k; outside the band it is above k.
  uint64_t last_cell(uint32_t slot) {
    const int64_t o = static_cast<int64_t>(q.size()) - depths[slot] + k;
    return o < 0 || o >= width ? uint64_t{k} + 1 : row(slot)[o];
  }
};

// PM of Myers' algorithm: bit i of PM(c) is set iff q[i] == c. A scalar is
// looked up in the slot of its low byte, so the common lookup is one load
// and one compare whatever the script; the rare scalars whose slot another
// one took are found in a sorted list.
struct PatternMatchVectors {
  struct Entry {
    char32_t c;
    uint64_t mask;
  };
  static constexpr char32_t kNoScalar = 0xFFFFFFFF;  // above every scalar
  std::array<Entry, 256> slots;
  std::vector<Entry> others;  // sorted by scalar

  // REQUIRES: q.size() <= 64.
  explicit PatternMatchVectors(std::u32string_view q) {
    slots.fill({kNoScalar, 0});
    for (std::size_t i = 0; i < q.size(); ++i) {
      const uint64_t bit = uint64_t{1} << i;
      Entry& slot = slots[q[i] & 0xFF];
      if (slot.c == kNoScalar) slot.c = q[i];
      if (slot.c == q[i]) {
        slot.mask |= bit;
        continue;
      }
      auto at = std::lower_bound(others.begin(), others.end(), q[i], before);
      if (at == others.end() || at->c != q[i]) at = others.insert(at, {q[i], 0});
      at->mask |= bit;
    }
  }

  static bool before(const Entry& e, char32_t c) { return e.c < c; }

  uint64_t operator()(char32_t c) const {
    const Entry& slot = slots[c & 0xFF];
    if (slot.c == c) return slot.mask;
    if (others.empty()) return 0;
    const auto at = std::lower_bound(others.begin(), others.end(), c, before);
    return at != others.end() && at->c == c ? at->mask : 0;
  }
};

// A row as Myers' vertical delta vectors: bit i of VP (VN) is set when cell
// i + 1 exceeds (falls below) cell i by one; bits from n up are garbage.
// Cell j of row d is at least |d - j|, so the cells within max_dist lie in
// the band max(0, d - max_dist) .. min(n, d + max_dist); its first cell is
// kept as a number, and so are the row minimum and where it is reached.
//
// A row whose minimum is max_dist ("tight") keeps only Z, least and last:
// below it, a cell stays within max_dist only by continuing a cell at
// max_dist on the diagonal with a match, so Z alone carries the walk on.
struct BitRow {
  uint64_t VP;
  uint64_t VN;
  uint64_t Z;          // bit i (i < n): cell i is the row minimum
  uint32_t band_cell;  // cell lo
  uint32_t last;       // cell n, or kFar when it is above max_dist
  uint32_t least;      // the row minimum, at most max_dist
  uint8_t lo, hi;      // the band: max(0, d - max_dist), min(n, d + max_dist)
};

// Four steps between neighbouring cells (bit b of the low nibble a step of
// +1, of the high nibble a step of -1) as the least of the five cells they
// join, relative to the first, where it is reached (bit p: after p steps),
// and the last cell relative to the first.
struct StepGroup {
  int8_t least;
  uint8_t at;
  int8_t sum;
};

inline constexpr std::array<StepGroup, 256> kStepGroups = [] {
  std::array<StepGroup, 256> groups{};
  for (unsigned steps = 0; steps < 256; ++steps) {
    int cells[5] = {0};
    for (unsigned b = 0; b < 4; ++b) {
      cells[b + 1] = cells[b] + static_cast<int>((steps >> b) & 1) - static_cast<int>((steps >> (b + 4)) & 1);
    }
    const int least = *std::min_element(cells, cells + 5);
    unsigned at = 0;
    for (unsigned p = 0; p < 5; ++p) at |= (cells[p] == least ? 1u : 0u) << p;
    groups[steps] = {static_cast<int8_t>(least), static_cast<uint8_t>(at), static_cast<int8_t>(cells[4])};
  }
  return groups;
}();

// Bit-parallel rows for queries of 1 to 64 scalars: Hyyrö 2003's form of
// Myers' algorithm, the path's scalars as the text. A child is pruned
// without computing its row: its minimum is the node's minimum m when a
// cell at m continues on the diagonal with a match, m + 1 otherwise. So a
// child costs a lookup and an AND unless it survives; a surviving child of
// a tight node costs a few more word operations, any other child a
// constant number of them plus a table lookup per four cells of its band.
struct Hyrroe2003Rows {
  // Cell n when it is known only to exceed max_dist: outside the band (so
  // max_dist < n <= 64) or off a tight row's minimum cells (so max_dist is
  // a cell value, below 2^32 - 1).
  static constexpr uint32_t kFar = 0xFFFFFFFFu;

  PatternMatchVectors PM;
  uint32_t n;
  uint64_t last_bit;  // bit n - 1: the step into cell n
  uint64_t max_dist;
  std::vector<BitRow> slots;

  // REQUIRES: 1 <= q.size() <= 64.
  Hyrroe2003Rows(std::u32string_view q, uint64_t dist)
      : PM(q),
        n(static_cast<uint32_t>(q.size())),
        last_bit(uint64_t{1} << (n - 1)),
        max_dist(dist),
        slots{{~uint64_t{0}, 0, 1, 0, n, 0, 0, static_cast<uint8_t>(std::min<uint64_t>(n, dist))}} {}

  void reserve(std::size_t count) {
    if (count > slots.size()) slots.resize(count);
  }

  // The rows of one node's children. Until a child survives, the loop over
  // the children reads only the node's Z and whether the node is open.
  struct Step {
    Hyrroe2003Rows* rows;
    uint64_t Z;     // the node's
    uint64_t open;  // 1 when the node's minimum is below max_dist: every child survives
    uint32_t from, to, depth;

    bool operator()(char32_t c) const {
      const uint64_t eq = rows->PM(c);
      const uint64_t E = eq & Z;
      if ((E | open) == 0) return false;
      if (open != 0) {
        rows->open_child(from, to, depth, eq);
      } else {
        rows->tight_child(to, E);
      }
      return true;
    }
  };

  Step step(uint32_t from, uint32_t to, uint32_t depth) {
    const BitRow& node = slots[from];
    return {this, node.Z, node.least < max_dist ? 1u : 0u, from, to, depth};
  }

  void copy(uint32_t from, uint32_t to) { slots[to] = slots[from]; }

  // Below a tight node: E holds the minimum cells i (i < n) with q[i] equal
  // to the child's label, each continuing on the diagonal.
  void tight_child(uint32_t to, uint64_t E) {
    BitRow& row = slots[to];
    row.Z = E << 1;  // cell n's bit is never tested
    row.last = (E & last_bit) != 0 ? static_cast<uint32_t>(max_dist) : kFar;
    row.least = static_cast<uint32_t>(max_dist);
  }

  // Below an open node: the whole row, then its minimum over the band.
  void open_child(uint32_t from, uint32_t to, uint32_t depth, uint64_t eq) {
    const BitRow& node = slots[from];
    // D0: cells equal to their upper-left neighbour; HP/HN: cells one more
    // or one less than the cell above (before the shift that makes cell 0
    // grow by one).
    const uint64_t X = eq | node.VN;
    const uint64_t D0 = (((X & node.VP) + node.VP) ^ node.VP) | X;
    const uint64_t HP = node.VN | ~(D0 | node.VP);
    const uint64_t HN = D0 & node.VP;
    BitRow row;
    row.VP = (HN << 1) | ~(D0 | ((HP << 1) | 1));
    row.VN = ((HP << 1) | 1) & D0;

    // The band moves one cell right per row once it has left cell 0. The
    // first cell of the new band is the diagonal neighbour of the old one,
    // equal to it where D0 says so. An open node has a cell below max_dist,
    // so its band does not start right of cell n - 1.
    row.band_cell = node.band_cell + 1;
    row.lo = node.lo;
    if (depth > max_dist) {
      row.band_cell -= static_cast<uint32_t>((D0 >> node.lo) & 1);
      ++row.lo;
    }
    row.hi = static_cast<uint8_t>(std::min<uint32_t>(n, node.hi + 1u));
    const uint32_t lo = row.lo;
    const uint32_t width = row.hi - lo;

    // The minimum over the band and where it is reached, four steps at a
    // time: one lookup while max_dist is at most 2. Without steps the band
    // is the single cell lo, which may be cell 64.
    const uint64_t steps = width == 0 ? 0 : ~uint64_t{0} >> (64 - width);
    const uint64_t up = (row.VP >> (lo & 63)) & steps;
    const uint64_t down = (row.VN >> (lo & 63)) & steps;
    const StepGroup first = kStepGroups[(up & 15) | ((down & 15) << 4)];
    int64_t least = int64_t{row.band_cell} + first.least;
    uint64_t at = first.at;
    int64_t cell = int64_t{row.band_cell} + first.sum;
    for (uint32_t shift = 4; shift < width; shift += 4) {
      const StepGroup group = kStepGroups[((up >> shift) & 15) | (((down >> shift) & 15) << 4)];
      const int64_t candidate = cell + group.least;
      const uint64_t here = uint64_t{group.at} << shift;
      at = candidate < least ? here : candidate == least ? at | here : at;
      least = std::min(least, candidate);
      cell += group.sum;
    }
    row.least = static_cast<uint32_t>(least);
    row.Z = lo < 64 ? (at & ((steps << 1) | 1)) << lo : 0;
    row.last = row.hi == n ? static_cast<uint32_t>(cell) : kFar;
    slots[to] = row;
  }

  uint64_t last_cell(uint32_t slot) const { return slots[slot].last; }
};

}  // namespace corvalind::detail
