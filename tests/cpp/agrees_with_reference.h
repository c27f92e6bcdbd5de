// The cross-check of the typo search that the property tests share: both
// term queries against the reference walk, in order, texts included.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "prefix/matcher/matcher.h"
#include "reference.h"
#include "test_trie.h"

namespace corvalind::testing {

// `q` against `trie` (made from `nodes`) at `max_dist`: fuzzy_match's nodes,
// distances and texts and fuzzy_match_nodes (terminal only) equal the
// reference walk, and fuzzy_match with limits 0, 1, 3, half and all keeps
// its first results. Wrap calls in ASSERT_NO_FATAL_FAILURE.
inline void expect_agrees_with_reference(const FinishedTrie& trie, const std::vector<TestNode>& nodes,
                                         const std::u32string& q, uint32_t max_dist) {
  const std::string query = reference::to_utf8(q);
  const std::vector<reference::NodeDistance> expected = reference::naive_walk(trie, q, max_dist, true);
  std::vector<reference::NodeDistance> got;
  for (const MatchResult& m : fuzzy_match(trie, query, max_dist, {})) {
    got.push_back({m.node, m.distance});
    ASSERT_EQ(m.term, path_of(nodes, m.node));
  }
  ASSERT_EQ(got, expected);
  std::vector<reference::NodeDistance> got_nodes;
  for (const NodeMatch& m : fuzzy_match_nodes(trie, query, max_dist, {}, true)) got_nodes.push_back({m.node, m.distance});
  ASSERT_EQ(got_nodes, expected);
  const uint64_t all = expected.size();
  for (const uint64_t limit : {uint64_t{0}, uint64_t{1}, uint64_t{3}, all / 2, all}) {
    const std::vector<MatchResult> limited = fuzzy_match(trie, query, max_dist, limit);
    const std::size_t kept = std::min<std::size_t>(std::max<uint64_t>(limit, 1), expected.size());
    ASSERT_EQ(limited.size(), kept) << limit;
    for (std::size_t i = 0; i < kept; ++i) ASSERT_EQ(limited[i].node, expected[i].node) << limit;
  }
}

}  // namespace corvalind::testing
