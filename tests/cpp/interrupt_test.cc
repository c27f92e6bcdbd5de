#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "interrupt.h"
#include "prefix/matcher/matcher.h"
#include "prefix/trie/trie.h"
#include "test_trie.h"
#include "video_query.h"

namespace corvalind {
namespace {

// How often the installed check ran, and whether it asks to stop.
int checks = 0;
bool stop = false;

bool counting_check() {
  ++checks;
  return stop;
}

// Installs counting_check for one test and removes it after.
class InterruptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    checks = 0;
    stop = false;
    set_interrupt_check(counting_check);
  }
  void TearDown() override { set_interrupt_check(nullptr); }
};

// A chain of 60,000 nodes labelled 'a', node k carrying video k mod 50; a
// term ends at every 1000th.
FinishedTrie long_chain(bool propagated) {
  std::vector<testing::TestNode> nodes(60'000);
  for (uint32_t i = 1; i < nodes.size(); ++i) {
    nodes[i] = {i - 1, U'a', i % 1000 == 0, Payload{1, {i % 50}, {1}}};
  }
  FinishedTrie trie = testing::make_trie(nodes);
  if (propagated) trie.propagate(1000);
  return trie;
}

TEST_F(InterruptTest, LongLoopsStopWhenTheCheckAsksAndOnlyThen) {
  const FinishedTrie chain = long_chain(true);
  const std::vector<uint8_t> snapshot = chain.encode();
  const std::string long_term(70, 'a');  // rows of all n + 1 cells
  struct Case {
    const char* name;
    std::function<void()> run;
  };
  const Case cases[] = {
      {"node walk, bit-parallel rows", [&] { fuzzy_match_nodes(chain, "a", 0xFFFFFFFF, std::nullopt, false); }},
      {"node walk, full rows", [&] { fuzzy_match_nodes(chain, long_term, 0xFFFFFFFF, std::nullopt, false); }},
      {"term walk", [&] { fuzzy_match(chain, "", 0xFFFFFFFF, std::nullopt); }},
      {"video query", [&] { fuzzy_match_video(chain, "a", 0xFFFFFFFF, std::nullopt, true); }},
      {"propagation", [&] { long_chain(false).propagate(1000); }},
      {"decode", [&] { ASSERT_TRUE(Trie::decode(snapshot)); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    stop = false;
    checks = 0;
    c.run();
    EXPECT_GT(checks, 0);  // polled, and carried on when the check said no
    stop = true;
    checks = 0;
    EXPECT_THROW(c.run(), Interrupted);
    EXPECT_EQ(checks, 1);  // abandoned at the first check that asked
  }
}

TEST_F(InterruptTest, ShortCallsAndAbsentCheckNeverStop) {
  stop = true;
  const FinishedTrie trie = testing::make_trie(testing::word_nodes({"ab", "ac"}));
  EXPECT_EQ(fuzzy_match(trie, "ab", 1, std::nullopt).size(), 2u);
  EXPECT_EQ(checks, 0);
  set_interrupt_check(nullptr);
  const FinishedTrie chain = long_chain(true);
  EXPECT_EQ(fuzzy_match_nodes(chain, "a", 0xFFFFFFFF, std::nullopt, false).size(), chain.node_count() - 1);
}

// Every word of three letters a-z, each a stored term: 18,279 nodes, so
// that building the trie's forward-backward index polls.
FinishedTrie three_letter_words() {
  std::vector<testing::TestNode> nodes(1);
  uint32_t level_begin = 0;
  for (int depth = 1; depth <= 3; ++depth) {
    const auto level_end = static_cast<uint32_t>(nodes.size());
    for (uint32_t parent = level_begin; parent < level_end; ++parent) {
      for (char32_t c = U'a'; c <= U'z'; ++c) nodes.push_back({parent, c, depth == 3});
    }
    level_begin = level_end;
  }
  return testing::make_trie(nodes);
}

std::vector<reference::NodeDistance> nodes_of(const std::vector<MatchResult>& matches) {
  std::vector<reference::NodeDistance> nodes;
  for (const MatchResult& m : matches) nodes.push_back({m.node, m.distance});
  return nodes;
}

// What a query made from inside the poll (as a signal handler may) saw.
const FinishedTrie* trie_to_query = nullptr;
const ForwardBackwardIndex* index_seen_inside = nullptr;
std::vector<MatchResult> answer_inside;

bool querying_check() {
  if (const FinishedTrie* trie = std::exchange(trie_to_query, nullptr)) {
    index_seen_inside = trie->forward_backward->get(*trie);
    answer_inside = fuzzy_match(*trie, "abx", 1, std::nullopt);
  }
  return false;
}

TEST(IndexBuild, QueryFromInsideTheBuildIsWalkedAndTheBuildGoesOn) {
  const FinishedTrie trie = three_letter_words();
  const std::vector<reference::NodeDistance> expected = reference::naive_walk(trie, U"abx", 1, true);
  trie_to_query = &trie;
  set_interrupt_check(querying_check);
  const std::vector<MatchResult> outer = fuzzy_match(trie, "abx", 1, std::nullopt);
  set_interrupt_check(nullptr);
  EXPECT_EQ(trie_to_query, nullptr);  // the build polled
  EXPECT_EQ(index_seen_inside, nullptr);
  EXPECT_EQ(nodes_of(answer_inside), expected);
  EXPECT_EQ(nodes_of(outer), expected);
  EXPECT_NE(trie.forward_backward->get(trie), nullptr);
}

TEST_F(InterruptTest, InterruptedIndexBuildLeavesNothingAndTheNextCallBuilds) {
  const FinishedTrie trie = three_letter_words();
  stop = true;
  EXPECT_THROW(fuzzy_match(trie, "abx", 1, std::nullopt), Interrupted);
  set_interrupt_check(nullptr);
  EXPECT_NE(trie.forward_backward->get(trie), nullptr);
  EXPECT_EQ(nodes_of(fuzzy_match(trie, "abx", 1, std::nullopt)), reference::naive_walk(trie, U"abx", 1, true));
}

}  // namespace
}  // namespace corvalind
