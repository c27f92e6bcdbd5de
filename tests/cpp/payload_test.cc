#include "payloads.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <utility>
#include <vector>

#include "error.h"

namespace corvalind {
namespace {

using Entries = std::vector<std::pair<uint32_t, uint32_t>>;  // (video, count)

Payload make(uint32_t total, const Entries& entries) {
  Payload p{total, {}, {}};
  for (auto [video, count] : entries) {
    p.video_ids.push_back(video);
    p.video_counts.push_back(count);
  }
  return p;
}

Entries entries_of(const Payload& p) {
  Entries out;
  for (std::size_t k = 0; k < p.video_ids.size(); ++k) out.emplace_back(p.video_ids[k], p.video_counts[k]);
  return out;
}

bool ranked_highest_first(const std::vector<uint32_t>& counts) {
  return std::is_sorted(counts.begin(), counts.end(), std::greater<>());
}

TEST(MergeFrom, Cases) {
  struct Case {
    const char* name;
    Payload receiver;
    Payload other;
    uint32_t total;
    Entries expected;  // in rank order; cases avoid equal sums
  };
  const Case cases[] = {
      {"empty lists, totals add", make(3, {}), make(4, {}), 7, {}},
      {"totals saturate", make(4'000'000'000u, {}), make(500'000'000u, {}), kMaxU32, {}},
      {"duplicates within the receiver", make(0, {{5, 1}, {5, 2}}), make(0, {}), 0, {{5, 3}}},
      {"duplicates within other", make(0, {}), make(0, {{8, 4}, {2, 1}, {8, 4}}), 0, {{8, 8}, {2, 1}}},
      {"same video across both lists", make(2, {{7, 2}}), make(5, {{7, 1}, {9, 4}}), 7, {{9, 4}, {7, 3}}},
      {"counts saturate", make(0, {{1, 4'000'000'000u}, {2, 5}}), make(0, {{1, 500'000'000u}}), 0,
       {{1, kMaxU32}, {2, 5}}},
      {"receiver sorted by the merge", make(1, {{1, 1}, {2, 5}, {3, 3}}), make(1, {}), 2,
       {{2, 5}, {3, 3}, {1, 1}}},
      {"video 2^32-1 is an ordinary key", make(0, {{kMaxU32, 6}, {0, 2}}), make(0, {{kMaxU32, 1}}), 0,
       {{kMaxU32, 7}, {0, 2}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Payload receiver = c.receiver;
    const Payload other_before = c.other;
    receiver.merge_from(c.other);
    EXPECT_EQ(receiver.total, c.total);
    EXPECT_EQ(entries_of(receiver), c.expected);
    EXPECT_EQ(entries_of(c.other), entries_of(other_before));
  }
}

TEST(MergeFrom, EqualSumsKeepEveryEntry) {
  Payload p = make(0, {{1, 2}, {2, 2}, {3, 2}});
  p.merge_from(make(0, {{4, 2}}));
  std::vector<uint32_t> ids = p.video_ids;
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids, (std::vector<uint32_t>{1, 2, 3, 4}));
  EXPECT_EQ(p.video_counts, (std::vector<uint32_t>{2, 2, 2, 2}));
}

TEST(MergeFrom, IntoItselfDoubles) {
  Payload p = make(3, {{1, 2}, {4, 5}});
  p.merge_from(p);
  EXPECT_EQ(p.total, 6u);
  EXPECT_EQ(entries_of(p), (Entries{{4, 10}, {1, 4}}));
}

// Many distinct videos force the table to grow while entries are pending;
// the sums must match a plain map.
TEST(VideoTally, MatchesMapAcrossGrowthAndReuse) {
  VideoTally tally;
  for (uint32_t round = 0; round < 3; ++round) {
    std::vector<uint32_t> ids, counts;
    std::map<uint32_t, uint64_t> expected;
    for (uint32_t k = 0; k < 5000; ++k) {
      const uint32_t video = (k * 2654435761u + round) % 1700;  // repeats within the list
      const uint32_t count = k % 13 + 1;
      ids.push_back(video);
      counts.push_back(count);
      expected[video] += count;
    }
    tally.add(ids, counts);
    std::vector<uint32_t> out_ids{99}, out_counts{99};  // appended after what is there
    tally.take_ranked(UINT64_MAX, out_ids, out_counts);
    ASSERT_EQ(out_ids.size(), expected.size() + 1);
    EXPECT_EQ(out_ids[0], 99u);
    std::map<uint32_t, uint64_t> got;
    for (std::size_t k = 1; k < out_ids.size(); ++k) got[out_ids[k]] = out_counts[k];
    EXPECT_EQ(got, expected);
    EXPECT_TRUE(ranked_highest_first({out_counts.begin() + 1, out_counts.end()}));
  }
}

TEST(VideoTally, LimitKeepsTheBest) {
  VideoTally tally;
  std::vector<uint32_t> ids, counts;
  for (uint32_t k = 0; k < 100; ++k) {
    ids.push_back(k);
    counts.push_back((k * 37) % 100);  // a permutation of 0..99
  }
  tally.add(ids, counts);
  std::vector<uint32_t> out_ids, out_counts;
  tally.take_ranked(3, out_ids, out_counts);
  EXPECT_EQ(out_counts, (std::vector<uint32_t>{99, 98, 97}));
  for (std::size_t k = 0; k < 3; ++k) EXPECT_EQ(out_ids[k] * 37 % 100, out_counts[k]);

  // The tally is empty again, with or without a cut.
  tally.take_ranked(10, out_ids, out_counts);
  EXPECT_EQ(out_ids.size(), 3u);
  tally.add(std::vector<uint32_t>{1}, std::vector<uint32_t>{1});
  tally.take_ranked(0, out_ids, out_counts);
  EXPECT_EQ(out_ids.size(), 3u);
  tally.take_ranked(10, out_ids, out_counts);
  EXPECT_EQ(out_ids.size(), 3u);
}

TEST(VideoTally, RefusesListsOfDifferentLength) {
  VideoTally tally;
  EXPECT_THROW(tally.add(std::vector<uint32_t>{1, 2}, std::vector<uint32_t>{1}), InternalFailure);
}

}  // namespace
}  // namespace corvalind
