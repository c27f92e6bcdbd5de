// Video query: which videos a possibly misspelt term points to, and how strongly.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "prefix/trie/trie.h"

namespace corvalind {

inline constexpr double FUZZY_WEIGHT_SCALE = 0.05;
inline constexpr double PREFIX_NODE_FACTOR = 0.85;
inline constexpr double MIN_SCORE = 0.01;
inline constexpr std::size_t SCORE_MAP_SLOTS_PER_NODE = 16;

struct VideoScore {
  std::string external_id;  // decimal text (Int32) or 36-character UUID text
  double score;
};

// Scores videos from the nodes within max_dist of `term`: a node weighs 1
// when exact, else (1 - d/n) * FUZZY_WEIGHT_SCALE (n: scalars of `term`;
// unused when that is not positive), times PREFIX_NODE_FACTOR when no term
// ends there. A video's score is the weighted sum of its counts over the
// nodes' payloads divided by the weighted sum of their totals. Returns the
// scores of at least MIN_SCORE, best first (ties in no defined order), cut to
// `limit`, then without the videos beyond the id table. Nodes come from
// terminal nodes only (include_prefix_nodes false), all nodes (true), or
// terminal nodes and, when there are none, all nodes (absent).
// Throws Interrupted when the interrupt check asks (interrupt.h).
// REQUIRES: `term` valid UTF-8.
std::vector<VideoScore> fuzzy_match_video(const FinishedTrie& trie, std::string_view term, uint32_t max_dist,
                                          std::optional<uint64_t> limit,
                                          std::optional<bool> include_prefix_nodes);

}  // namespace corvalind
