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

// Scores videos from the nodes near `term`, best first, at most `limit`.
// REQUIRES: a trie accepted by check_trie.
std::vector<VideoScore> fuzzy_match_video(const Trie& trie, std::string_view term, uint32_t max_dist,
                                          std::optional<uint64_t> limit,
                                          std::optional<bool> include_prefix_nodes);

}  // namespace corvalind
