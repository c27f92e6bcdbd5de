// Edit-distance search over a trie: the term matcher and the node matcher.
//
// Both are one depth-first walk that carries a row of the Levenshtein table
// (unit costs, Unicode scalar values) per depth, prunes a subtree when its
// row minimum exceeds max_dist, and reports qualifying nodes in pre-order:
// a node before the nodes below it, siblings in edge order. The root is
// never reported; an edge into a node labelled U+0000 is skipped with its
// subtree. `limit` stops the walk right after the limit-th match, so a limit
// of 0 behaves like 1.
//
// Distances are exact for every max_dist and query length. A query longer
// than the trie's deepest path plus max_dist gets no matches at once, in
// the time of counting its scalars. Queries of 1 to 64 scalars use
// bit-parallel rows (Myers/Hyyrö): a visited child whose parent's row
// minimum is max_dist costs a table lookup and an AND, any other a few
// dozen word operations. Longer queries use the band of 2 * max_dist + 1
// cells around the diagonal when it is narrower than the row, else rows of
// n + 1 cells, 16 bits wide, or 32 when 16 bits could overflow: so a
// visited node costs O(min(max_dist, n)). Working memory: one row per node
// of the current path that still has children to visit, plus one; no
// recursion. Throws std::bad_alloc for a query of 2^32 - 1 scalars or more
// that the trie is deep enough to match, and when those rows would take
// more than 256 MiB (a long query at a large max_dist on a trie thousands
// of levels deep that branches all the way down). Throws
// Interrupted when the interrupt check asks (interrupt.h).
//
// REQUIRES: a trie accepted by check_trie and indexed by index_edges, `term`
// valid UTF-8. A trie with no nodes gives no matches.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "prefix/trie/trie.h"

namespace corvalind {

struct MatchResult {
  std::string term;  // UTF-8 path string from the root to `node`
  uint64_t node;
  uint32_t distance;
};

struct NodeMatch {
  uint32_t node;
  uint32_t distance;
};

// Returns the stored terms (terminal nodes) within max_dist of `term`, in
// walk order, each with its UTF-8 text, node and distance.
std::vector<MatchResult> fuzzy_match(const Trie& trie, std::string_view term, uint32_t max_dist,
                                     std::optional<uint64_t> limit);

// Returns the nodes within max_dist of `term`, in walk order, with their
// distances; only terminal ones when terminal_only (then exactly the nodes
// of fuzzy_match). Builds no text.
std::vector<NodeMatch> fuzzy_match_nodes(const Trie& trie, std::string_view term, uint32_t max_dist,
                                         std::optional<uint64_t> limit, bool terminal_only);

}  // namespace corvalind
