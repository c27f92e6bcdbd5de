#include "video_query.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "test_trie.h"

namespace corvalind {
namespace {

using testing::add_path;
using testing::make_trie;
using testing::TestNode;

Payload payload(uint32_t total, std::vector<std::pair<uint32_t, uint32_t>> videos) {
  Payload p{total, {}, {}};
  for (const auto& [video, count] : videos) {
    p.video_ids.push_back(video);
    p.video_counts.push_back(count);
  }
  return p;
}

// Builds a trie from paths with the given terminal flags and payloads, ids
// in mode Int32: internal number v has the external id 1000 + v, v < 20.
struct PathSpec {
  std::string path;
  bool terminal;
  std::optional<Payload> payload;
};

FinishedTrie trie_of(const std::vector<PathSpec>& specs) {
  std::vector<TestNode> nodes;
  for (const PathSpec& spec : specs) {
    TestNode& node = nodes[add_path(nodes, spec.path)];
    node.terminal = spec.terminal;
    node.payload = spec.payload;
  }
  FinishedTrie trie = make_trie(nodes);
  trie.id_mode = IdMode::Int32;
  for (uint32_t v = 0; v < 20; ++v) trie.video_int_ids.push_back(1000 + v);
  return trie;
}

using Scores = std::vector<std::pair<std::string, double>>;

Scores scores_of(const std::vector<VideoScore>& results) {
  Scores out;
  for (const VideoScore& r : results) out.emplace_back(r.external_id, r.score);
  return out;
}

void expect_scores(const std::vector<VideoScore>& got, const Scores& expected, const std::string& name) {
  ASSERT_EQ(got.size(), expected.size()) << name;
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].external_id, expected[i].first) << name << " #" << i;
    EXPECT_DOUBLE_EQ(got[i].score, expected[i].second) << name << " #" << i;
  }
}

// Node A = "abcd" exact and terminal, node B = "abce" one edit away.
TEST(FuzzyMatchVideo, WeightsByDistanceAndKind) {
  const FinishedTrie terminal_b = trie_of({{"abcd", true, payload(10, {{7, 6}, {9, 4}})},
                                   {"abce", true, payload(20, {{9, 20}})}});
  // B's weight: (1 - 1/4) * 0.05 = 0.0375; total weight 10 + 0.0375 * 20.
  expect_scores(fuzzy_match_video(terminal_b, "abcd", 1, {}, false),
                {{"1007", 6 / 10.75}, {"1009", (4 + 0.75) / 10.75}}, "terminal B");
  EXPECT_NEAR(6 / 10.75, 0.5581, 1e-4);

  // As an inner node (a term continues below it), B weighs 0.85 times that.
  const FinishedTrie inner_b = trie_of({{"abcd", true, payload(10, {{7, 6}, {9, 4}})},
                                {"abce", false, payload(20, {{9, 20}})},
                                {"abcef", true, {}}});
  const double weight = 0.031875;
  const double total = 10 + weight * 20;
  expect_scores(fuzzy_match_video(inner_b, "abcd", 1, {}, true),
                {{"1007", 6 / total}, {"1009", (4 + weight * 20) / total}}, "inner B");
}

TEST(FuzzyMatchVideo, NodeSelection) {
  // Only the inner nodes "abc", "abcd", "abcde" are within one edit of
  // "abcd"; the term "abcdef" is two away.
  const FinishedTrie inner_only = trie_of({{"abc", false, payload(100, {{1, 100}})},
                                   {"abcd", false, payload(10, {{2, 10}})},
                                   {"abcdef", true, payload(50, {{3, 50}})}});
  const double w_near = 0.75 * 0.05 * 0.85;  // "abc" and "abcde" (no payload)
  const double w_exact = 0.85;               // "abcd"
  const double total = w_near * 100 + w_exact * 10;
  const Scores inner_scores = {{"1002", w_exact * 10 / total}, {"1001", w_near * 100 / total}};

  // A terminal "abcd" without a payload is found, so nothing falls back.
  const FinishedTrie terminal_without_payload = trie_of({{"abc", false, payload(100, {{1, 100}})},
                                                 {"abcd", true, {}}});

  // Payload totals of 0: counts but no total weight.
  const FinishedTrie zero_totals = trie_of({{"abcd", true, payload(0, {{1, 5}})}});

  struct Case {
    const char* name;
    const FinishedTrie& trie;
    std::string query;
    uint32_t max_dist;
    std::optional<bool> include_prefix_nodes;
    Scores expected;
  };
  const Case cases[] = {
      {"absent: falls back to inner nodes", inner_only, "abcd", 1, std::nullopt, inner_scores},
      {"true: inner nodes", inner_only, "abcd", 1, true, inner_scores},
      {"false: terminal nodes only", inner_only, "abcd", 1, false, {}},
      {"absent: a terminal without payload blocks the fallback", terminal_without_payload, "abcd", 1,
       std::nullopt, {}},
      {"true: the inner node's payload counts", terminal_without_payload, "abcd", 1, true,
       {{"1001", 1.0}}},
      {"empty query: every node is at distance >= 1", inner_only, "", 10, true, {}},
      {"one-scalar query: distance 1 weighs nothing", trie_of({{"a", true, payload(4, {{1, 4}})},
                                                               {"b", true, payload(4, {{2, 4}})}}),
       "a", 1, {}, {{"1001", 1.0}}},
      {"all totals 0", zero_totals, "abcd", 0, {}, {}},
  };
  for (const Case& c : cases) {
    expect_scores(fuzzy_match_video(c.trie, c.query, c.max_dist, {}, c.include_prefix_nodes), c.expected, c.name);
  }
}

TEST(FuzzyMatchVideo, RankingFloorAndLimit) {
  // Scores 0.5, 0.3, 0.15, 0.04, 0.01 (kept, at the floor) and 0.005 (dropped).
  const FinishedTrie trie = trie_of({{"x", true, payload(1000, {{5, 40}, {1, 500}, {6, 10}, {3, 150}, {2, 300},
                                                         {7, 5}})}});
  const Scores all = {{"1001", 0.5}, {"1002", 0.3}, {"1003", 0.15}, {"1005", 0.04}, {"1006", 0.01}};
  struct Case {
    std::optional<uint64_t> limit;
    Scores expected;
  };
  const Case cases[] = {
      {std::nullopt, all},
      {0, {}},
      {1, {all[0]}},
      {3, {all[0], all[1], all[2]}},
      {5, all},
      {100, all},
  };
  for (const Case& c : cases) {
    expect_scores(fuzzy_match_video(trie, "x", 0, c.limit, {}), c.expected,
                  "limit " + (c.limit ? std::to_string(*c.limit) : std::string("absent")));
  }
}

TEST(FuzzyMatchVideo, RendersExternalIds) {
  // Video 0 scores highest, then 1, then 2 (beyond the tables, dropped).
  FinishedTrie trie = trie_of({{"x", true, payload(6, {{0, 3}, {1, 2}, {2, 1}})}});
  trie.video_int_ids = {4294967295u, 0};
  expect_scores(fuzzy_match_video(trie, "x", 0, {}, {}), {{"4294967295", 0.5}, {"0", 2.0 / 6}}, "Int32");

  trie.id_mode = IdMode::Uuid;
  trie.video_int_ids.clear();
  trie.video_uuids = {Uuid{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
                      Uuid{0xff, 0xee, 0xdd, 0xcc, 0xbb, 0xaa, 0x99, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22,
                           0x11, 0x00}};
  expect_scores(fuzzy_match_video(trie, "x", 0, {}, {}),
                {{"00010203-0405-0607-0809-0a0b0c0d0e0f", 0.5}, {"ffeeddcc-bbaa-9988-7766-554433221100", 2.0 / 6}},
                "Uuid");

  // A limit counts ranked pairs before dropped ones are left out.
  trie.video_uuids.resize(1);
  expect_scores(fuzzy_match_video(trie, "x", 0, 2, {}), {{"00010203-0405-0607-0809-0a0b0c0d0e0f", 0.5}},
                "dropped after the cut");
}

TEST(FuzzyMatchVideo, EmptyTrie) { EXPECT_TRUE(fuzzy_match_video(make_trie({}), "a", 1, {}, true).empty()); }

// Far more videos than the score map's initial room, summed over two nodes.
TEST(FuzzyMatchVideo, ManyVideosAccumulate) {
  constexpr uint32_t kVideos = 1000;
  std::vector<std::pair<uint32_t, uint32_t>> exact;
  std::vector<std::pair<uint32_t, uint32_t>> near;
  for (uint32_t v = 0; v < kVideos; ++v) {
    exact.emplace_back(v, v + 1);
    near.emplace_back(kVideos - 1 - v, 1);
  }
  FinishedTrie trie = trie_of({{"xx", true, payload(1, exact)}, {"xy", true, payload(1, near)}});
  for (uint32_t v = 20; v < kVideos; ++v) trie.video_int_ids.push_back(1000 + v);

  // "xy" is one edit from "xx": weight 0.5 * 0.05.
  const double total = 1 + 0.025;
  const std::vector<VideoScore> results = fuzzy_match_video(trie, "xx", 1, {}, {});
  ASSERT_EQ(results.size(), kVideos);
  for (uint32_t rank = 0; rank < kVideos; ++rank) {
    const uint32_t v = kVideos - 1 - rank;
    EXPECT_EQ(results[rank].external_id, std::to_string(1000 + v));
    EXPECT_DOUBLE_EQ(results[rank].score, (v + 1 + 0.025) / total);
  }
}

}  // namespace
}  // namespace corvalind
