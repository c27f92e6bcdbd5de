#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
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
Trie long_chain(bool propagated) {
  std::vector<testing::TestNode> nodes(60'000);
  for (uint32_t i = 1; i < nodes.size(); ++i) {
    nodes[i] = {i - 1, U'a', i % 1000 == 0, Payload{1, {i % 50}, {1}}};
  }
  Trie trie = testing::make_trie(nodes);
  if (propagated) trie.propagate(1000);
  return trie;
}

TEST_F(InterruptTest, LongLoopsStopWhenTheCheckAsksAndOnlyThen) {
  const Trie chain = long_chain(true);
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
  const Trie trie = testing::make_trie(testing::word_nodes({"ab", "ac"}));
  EXPECT_EQ(fuzzy_match(trie, "ab", 1, std::nullopt).size(), 2u);
  EXPECT_EQ(checks, 0);
  set_interrupt_check(nullptr);
  const Trie chain = long_chain(true);
  EXPECT_EQ(fuzzy_match_nodes(chain, "a", 0xFFFFFFFF, std::nullopt, false).size(), chain.node_count() - 1);
}

}  // namespace
}  // namespace corvalind
