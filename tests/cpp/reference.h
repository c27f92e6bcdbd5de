// Plain reference implementations the matchers are checked against: a
// full-table Levenshtein distance and the recursive one-row-per-depth trie
// walk in its most direct form. Slow and simple on purpose.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "prefix/trie/trie.h"

namespace corvalind::reference {

// REQUIRES: valid UTF-8.
inline std::u32string to_scalars(std::string_view utf8) {
  std::u32string out;
  for (std::size_t i = 0; i < utf8.size();) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    std::size_t length = 1;
    char32_t c = lead;
    if (lead >= 0xF0) {
      length = 4;
      c = lead & 0x07;
    } else if (lead >= 0xE0) {
      length = 3;
      c = lead & 0x0F;
    } else if (lead >= 0xC0) {
      length = 2;
      c = lead & 0x1F;
    }
    for (std::size_t k = 1; k < length; ++k) c = (c << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    out.push_back(c);
    i += length;
  }
  return out;
}

inline std::string to_utf8(std::u32string_view scalars) {
  std::string out;
  for (const char32_t c : scalars) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// Unit-cost Levenshtein distance over the full (|a|+1) x (|b|+1) table.
inline uint64_t levenshtein(std::u32string_view a, std::u32string_view b) {
  std::vector<std::vector<uint64_t>> table(a.size() + 1, std::vector<uint64_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) table[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) table[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      table[i][j] = std::min({table[i - 1][j] + 1, table[i][j - 1] + 1,
                              table[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
    }
  }
  return table[a.size()][b.size()];
}

struct NodeDistance {
  uint64_t node;
  uint64_t distance;
  bool operator==(const NodeDistance&) const = default;
};

namespace detail {

inline void naive_dfs(const Trie& trie, uint32_t node, std::size_t depth, std::u32string_view q, uint64_t max_dist,
                      bool terminal_only, std::vector<std::vector<uint64_t>>& rows,
                      std::vector<NodeDistance>& out) {
  const uint32_t begin = trie.node_shifts[node];
  const uint32_t end = node + 1 < trie.node_count() ? trie.node_shifts[node + 1]
                                                     : static_cast<uint32_t>(trie.child_transitions.size());
  for (uint32_t e = begin; e < end; ++e) {
    const uint32_t child = trie.child_transitions[e];
    const char32_t c = trie.child_labels[child];
    if (c == U'\0') continue;
    if (rows.size() <= depth + 1) rows.emplace_back(q.size() + 1);
    const std::vector<uint64_t>& prev = rows[depth];
    std::vector<uint64_t>& cur = rows[depth + 1];
    cur[0] = depth + 1;
    uint64_t row_min = cur[0];
    for (std::size_t j = 1; j <= q.size(); ++j) {
      cur[j] = std::min({prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + (q[j - 1] == c ? 0 : 1)});
      row_min = std::min(row_min, cur[j]);
    }
    if (row_min > max_dist) continue;
    if (cur[q.size()] <= max_dist && (!terminal_only || trie.is_terminal[child])) {
      out.push_back({child, cur[q.size()]});
    }
    naive_dfs(trie, child, depth + 1, q, max_dist, terminal_only, rows, out);
  }
}

}  // namespace detail

// The recursive walk with one row per depth: every node within max_dist
// (terminal ones only when terminal_only), in pre-order, no limit.
// REQUIRES: a well-formed trie with at least one node, shallow enough to recurse.
inline std::vector<NodeDistance> naive_walk(const Trie& trie, std::u32string_view q, uint64_t max_dist,
                                            bool terminal_only) {
  std::vector<std::vector<uint64_t>> rows(1, std::vector<uint64_t>(q.size() + 1));
  for (std::size_t j = 0; j <= q.size(); ++j) rows[0][j] = j;
  std::vector<NodeDistance> out;
  detail::naive_dfs(trie, 0, 0, q, max_dist, terminal_only, rows, out);
  return out;
}

}  // namespace corvalind::reference
