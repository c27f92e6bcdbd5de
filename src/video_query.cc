#include "video_query.h"

#include <algorithm>
#include <charconv>
#include <utility>

#include "interrupt.h"
#include "payload/video_map.h"
#include "prefix/matcher/matcher.h"
#include "ranking.h"
#include "utf8.h"

namespace corvalind {
namespace {

// 36 characters: the bytes in stored order as lowercase hex, "-" after
// bytes 4, 6, 8 and 10.
std::string uuid_text(const Uuid& bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(36);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
    text.push_back(kHex[bytes[i] >> 4]);
    text.push_back(kHex[bytes[i] & 0xF]);
  }
  return text;
}

// The external id of an internal video number by the trie's id mode, or
// nullopt when the number is beyond the id table.
std::optional<std::string> external_id(const Trie& trie, uint32_t video) {
  if (trie.id_mode == IdMode::Int32) {
    if (video >= trie.video_int_ids.size()) return std::nullopt;
    char digits[10];
    const auto end = std::to_chars(std::begin(digits), std::end(digits), trie.video_int_ids[video]).ptr;
    return std::string(digits, end);
  }
  if (video >= trie.video_uuids.size()) return std::nullopt;
  return uuid_text(trie.video_uuids[video]);
}

// Room for the distinct videos the matched nodes' payloads can name: never
// more than their entries in all, nor than SCORE_MAP_SLOTS_PER_NODE per node.
std::size_t score_map_room(const Trie& trie, const std::vector<NodeMatch>& nodes) {
  const std::size_t cap = SCORE_MAP_SLOTS_PER_NODE * nodes.size();
  std::size_t entries = 0;
  for (const NodeMatch& match : nodes) {
    if (trie.payloads.has(match.node)) entries += trie.payloads.view(match.node).video_ids.size();
    if (entries >= cap) return cap;
  }
  return entries;
}

}  // namespace

std::vector<VideoScore> fuzzy_match_video(const FinishedTrie& trie, std::string_view term, uint32_t max_dist,
                                          std::optional<uint64_t> limit,
                                          std::optional<bool> include_prefix_nodes) {
  std::vector<NodeMatch> nodes = fuzzy_match_nodes(trie, term, max_dist, std::nullopt, include_prefix_nodes != true);
  // Inner nodes stand in only when no stored term is near at all.
  if (!include_prefix_nodes && nodes.empty()) {
    nodes = fuzzy_match_nodes(trie, term, max_dist, std::nullopt, false);
  }

  const auto n = static_cast<double>(scalar_count(term));
  VideoMap<double> scores(score_map_room(trie, nodes));
  double total_weight = 0.0;
  InterruptPoll poll;
  for (const NodeMatch& match : nodes) {
    double weight = 1.0;
    if (match.distance != 0) {
      if (n == 0) continue;
      weight = (1.0 - match.distance / n) * FUZZY_WEIGHT_SCALE;
      if (weight <= 0) continue;
    }
    if (!trie.is_terminal[match.node]) weight *= PREFIX_NODE_FACTOR;
    if (!trie.payloads.has(match.node)) continue;
    const PayloadView payload = trie.payloads.view(match.node);
    total_weight += weight * payload.total;
    for (std::size_t i = 0; i < payload.video_ids.size(); ++i) {
      scores[payload.video_ids[i]] += weight * payload.video_counts[i];
    }
    poll.tick(static_cast<int64_t>(payload.video_ids.size()) + 1);
  }
  if (total_weight <= 0) return {};

  std::vector<std::pair<uint32_t, double>> ranked;
  scores.drain([&](uint32_t video, double score) {
    const double normalized = score / total_weight;
    if (normalized >= MIN_SCORE) ranked.emplace_back(video, normalized);
  });
  keep_highest(ranked, limit.value_or(ranked.size()),
               [](const auto& a, const auto& b) { return a.second > b.second; });

  std::vector<VideoScore> results;
  results.reserve(ranked.size());
  for (const auto& [video, score] : ranked) {
    if (std::optional<std::string> id = external_id(trie, video)) results.push_back({std::move(*id), score});
  }
  return results;
}

}  // namespace corvalind
