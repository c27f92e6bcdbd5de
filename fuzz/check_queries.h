// Shared by the fuzz targets: runs every query on an accepted trie and
// aborts on any result that disagrees with the plain reference walk or
// breaks the video query's contract, and checks the snapshot round trip.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "prefix/matcher/matcher.h"
#include "prefix/trie/trie.h"
#include "reference.h"
#include "snapshot/codec.h"
#include "video_query.h"

namespace corvalind::fuzzing {

// Inputs larger than this are skipped: enough for tries of a few hundred
// nodes, small enough that every query and the reference run on each input.
inline constexpr std::size_t kMaxInputBytes = 4096;

inline void require(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "fuzz inconsistency: %s\n", what);
  std::abort();
}

// True iff the bytes are valid UTF-8, by the snapshot reader's own rules.
inline bool valid_utf8(std::span<const uint8_t> bytes) {
  snapshot::Reader reader(bytes);
  while (reader.remaining() > 0) {
    if (!reader.character()) return false;
  }
  return true;
}

// The scalars on the path from the root to each node reachable from it;
// empty for the root and for nodes the root does not reach.
// REQUIRES: a trie accepted by check_trie (so the reachable part is a tree).
inline std::vector<std::u32string> paths(const Trie& trie) {
  std::vector<std::u32string> path(trie.node_count());
  std::vector<uint32_t> stack;
  if (trie.node_count() > 0) stack.push_back(0);
  while (!stack.empty()) {
    const uint32_t node = stack.back();
    stack.pop_back();
    const EdgeRange range = trie.edges(node);
    for (uint32_t j = range.begin; j < range.end; ++j) {
      const uint32_t child = trie.child_transitions[j];
      path[child] = path[node] + trie.child_labels[child];
      stack.push_back(child);
    }
  }
  return path;
}

// Queries for one input: the path of a node reached by following the edges
// that `choices` pick, the same path with its middle scalar dropped, that
// path repeated to 60..69 scalars (around the one-word query limit), the
// empty term, and `tail` when it is valid UTF-8.
inline std::vector<std::string> derive_queries(const Trie& trie, std::span<const uint8_t> choices,
                                               std::span<const uint8_t> tail) {
  std::u32string walked;
  uint32_t node = 0;
  for (const uint8_t choice : choices) {
    if (trie.node_count() == 0) break;
    const EdgeRange range = trie.edges(node);
    if (range.end <= range.begin) break;
    const uint32_t child = trie.child_transitions[range.begin + choice % (range.end - range.begin)];
    if (trie.child_labels[child] == U'\0') break;
    walked.push_back(trie.child_labels[child]);
    node = child;
  }
  std::vector<std::string> queries{reference::to_utf8(walked), ""};
  if (!walked.empty()) queries.push_back(reference::to_utf8(walked.substr(0, walked.size() / 2) +
                                                            walked.substr(walked.size() / 2 + 1)));
  const std::size_t long_size = 60 + (choices.empty() ? 0 : choices[0] % 10);
  std::u32string repeated;
  while (repeated.size() < long_size) repeated += walked.empty() ? U"ab" : walked;
  queries.push_back(reference::to_utf8(repeated.substr(0, long_size)));
  if (valid_utf8(tail)) queries.emplace_back(tail.begin(), tail.end());
  return queries;
}

// The first `limit` entries of `all` (a limit of 0 counts as 1), or all.
template <class T>
std::span<const T> limited(const std::vector<T>& all, std::optional<uint64_t> limit) {
  const uint64_t keep = limit ? std::max<uint64_t>(*limit, 1) : all.size();
  return std::span<const T>(all).first(std::min<uint64_t>(keep, all.size()));
}

inline void check_nodes(const std::vector<NodeMatch>& got, std::span<const reference::NodeDistance> expected) {
  require(got.size() == expected.size(), "fuzzy_match_nodes: number of matches differs from the reference");
  for (std::size_t k = 0; k < got.size(); ++k) {
    require(got[k].node == expected[k].node && got[k].distance == expected[k].distance,
            "fuzzy_match_nodes: match differs from the reference");
  }
}

// Contract of one video query result, and that a limited result holds only
// pairs of the unlimited one (equal scores may be cut either way).
inline void check_videos(const std::vector<VideoScore>& got, const std::vector<VideoScore>& unlimited,
                         std::optional<uint64_t> limit, IdMode mode) {
  if (limit) require(got.size() <= *limit, "fuzzy_match_video: more results than the limit");
  for (std::size_t k = 0; k < got.size(); ++k) {
    require(std::isfinite(got[k].score) && got[k].score >= MIN_SCORE, "fuzzy_match_video: score out of range");
    require(k == 0 || got[k - 1].score >= got[k].score, "fuzzy_match_video: not ranked best first");
    const std::string& id = got[k].external_id;
    if (mode == IdMode::Uuid) {
      require(id.size() == 36, "fuzzy_match_video: UUID text is not 36 characters");
    } else {
      require(!id.empty() && id.size() <= 10 && std::all_of(id.begin(), id.end(), [](char c) { return c >= '0' && c <= '9'; }),
              "fuzzy_match_video: int id is not decimal text");
    }
  }
  std::vector<std::pair<std::string, double>> all;
  for (const VideoScore& v : unlimited) all.emplace_back(v.external_id, v.score);
  std::sort(all.begin(), all.end());
  std::vector<std::pair<std::string, double>> part;
  for (const VideoScore& v : got) part.emplace_back(v.external_id, v.score);
  std::sort(part.begin(), part.end());
  require(std::includes(all.begin(), all.end(), part.begin(), part.end()),
          "fuzzy_match_video: limited result is not part of the unlimited one");
}

// Runs fuzzy_match, fuzzy_match_nodes (both kinds) and fuzzy_match_video
// (include_prefix_nodes absent, true, false) for each query at distances
// 0..3 and `large_dist`, without a limit and with `limit`.
// REQUIRES: a trie accepted by check_trie, valid UTF-8 queries.
inline void check_queries(const FinishedTrie& trie, const std::vector<std::string>& queries, uint64_t limit,
                          uint32_t large_dist) {
  const std::vector<std::u32string> path = paths(trie);
  for (const std::string& query : queries) {
    const std::u32string q = reference::to_scalars(query);
    for (const uint32_t max_dist : {0u, 1u, 2u, 3u, large_dist}) {
      std::vector<reference::NodeDistance> terminal, all;
      if (trie.node_count() > 0) {
        terminal = reference::naive_walk(trie, q, max_dist, true);
        all = reference::naive_walk(trie, q, max_dist, false);
      }
      std::vector<VideoScore> unlimited_videos[3];
      const std::optional<bool> includes[3] = {std::nullopt, true, false};
      for (const std::optional<uint64_t> lim : {std::optional<uint64_t>(), std::optional<uint64_t>(limit)}) {
        const std::vector<MatchResult> terms = fuzzy_match(trie, query, max_dist, lim);
        const std::span<const reference::NodeDistance> expected = limited(terminal, lim);
        require(terms.size() == expected.size(), "fuzzy_match: number of matches differs from the reference");
        for (std::size_t k = 0; k < terms.size(); ++k) {
          require(terms[k].node == expected[k].node && terms[k].distance == expected[k].distance,
                  "fuzzy_match: match differs from the reference");
          require(terms[k].term == reference::to_utf8(path[terms[k].node]), "fuzzy_match: term is not the path");
        }
        check_nodes(fuzzy_match_nodes(trie, query, max_dist, lim, true), expected);
        check_nodes(fuzzy_match_nodes(trie, query, max_dist, lim, false), limited(all, lim));

        for (int k = 0; k < 3; ++k) {
          std::vector<VideoScore> videos = fuzzy_match_video(trie, query, max_dist, lim, includes[k]);
          if (!lim) unlimited_videos[k] = videos;
          check_videos(videos, unlimited_videos[k], lim, trie.id_mode);
        }
      }
    }
  }
}

// encode(decode(encode(t))) == encode(t), and the snapshot cut by its last
// byte is refused as incomplete.
inline void check_round_trip(const Trie& trie) {
  const std::vector<uint8_t> once = trie.encode();
  const Result<FinishedTrie> again = Trie::decode(once);
  require(again.has_value(), "a written snapshot is refused");
  require(again->encode() == once, "snapshot differs after a round trip");
  const Result<FinishedTrie> cut = Trie::decode(std::span(once).first(once.size() - 1));
  require(!cut && cut.error().message.starts_with("decode error: UnexpectedEnd"),
          "a truncated snapshot is not refused as incomplete");
}

}  // namespace corvalind::fuzzing
