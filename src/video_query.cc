#include "video_query.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <utility>

#include "prefix/matcher/matcher.h"

namespace corvalind {
namespace {

// Accumulated score per internal video number: open addressing with linear
// probing, at most half full. Iteration order follows the hash.
class ScoreMap {
 public:
  explicit ScoreMap(std::size_t expected) { rehash(std::bit_ceil(std::max<std::size_t>(2 * expected, 16))); }

  void add(uint32_t video, double score) {
    if (2 * (used_ + 1) > slots_.size()) rehash(2 * slots_.size());
    Slot& slot = find(video);
    if (!slot.used) {
      slot = {video, true, 0.0};
      ++used_;
    }
    slot.score += score;
  }

  template <class Visit>
  void for_each(Visit visit) const {
    for (const Slot& slot : slots_) {
      if (slot.used) visit(slot.video, slot.score);
    }
  }

 private:
  struct Slot {
    uint32_t video = 0;
    bool used = false;
    double score = 0.0;
  };

  Slot& find(uint32_t video) {
    const std::size_t mask = slots_.size() - 1;
    std::size_t at = (video * 0x9E3779B97F4A7C15ull) >> shift_;
    while (slots_[at].used && slots_[at].video != video) at = (at + 1) & mask;
    return slots_[at];
  }

  void rehash(std::size_t capacity) {
    std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(capacity));
    shift_ = 64 - std::countr_zero(capacity);
    for (const Slot& slot : old) {
      if (slot.used) find(slot.video) = slot;
    }
  }

  std::vector<Slot> slots_;
  std::size_t used_ = 0;
  int shift_ = 0;
};

std::size_t scalar_count(std::string_view utf8) {
  return static_cast<std::size_t>(
      std::count_if(utf8.begin(), utf8.end(), [](char byte) { return (byte & 0xC0) != 0x80; }));
}

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

}  // namespace

std::vector<VideoScore> fuzzy_match_video(const Trie& trie, std::string_view term, uint32_t max_dist,
                                          std::optional<uint64_t> limit,
                                          std::optional<bool> include_prefix_nodes) {
  std::vector<NodeMatch> nodes = fuzzy_match_nodes(trie, term, max_dist, std::nullopt, include_prefix_nodes != true);
  // Inner nodes stand in only when no stored term is near at all.
  if (!include_prefix_nodes && nodes.empty()) {
    nodes = fuzzy_match_nodes(trie, term, max_dist, std::nullopt, false);
  }

  const auto n = static_cast<double>(scalar_count(term));
  ScoreMap scores(SCORE_MAP_SLOTS_PER_NODE * nodes.size());
  double total_weight = 0.0;
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
      scores.add(payload.video_ids[i], weight * payload.video_counts[i]);
    }
  }
  if (total_weight <= 0) return {};

  std::vector<std::pair<uint32_t, double>> ranked;
  scores.for_each([&](uint32_t video, double score) {
    const double normalized = score / total_weight;
    if (normalized >= MIN_SCORE) ranked.emplace_back(video, normalized);
  });
  const auto higher = [](const auto& a, const auto& b) { return a.second > b.second; };
  if (limit && *limit < ranked.size()) {
    const auto kept_end = ranked.begin() + static_cast<std::ptrdiff_t>(*limit);
    std::nth_element(ranked.begin(), kept_end, ranked.end(), higher);
    ranked.erase(kept_end, ranked.end());
  }
  std::sort(ranked.begin(), ranked.end(), higher);

  std::vector<VideoScore> results;
  results.reserve(ranked.size());
  for (const auto& [video, score] : ranked) {
    if (std::optional<std::string> id = external_id(trie, video)) results.push_back({std::move(*id), score});
  }
  return results;
}

}  // namespace corvalind
