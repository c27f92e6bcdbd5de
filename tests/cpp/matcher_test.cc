#include "prefix/matcher/matcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "agrees_with_reference.h"
#include "reference.h"
#include "test_trie.h"

namespace corvalind {
namespace {

using testing::add_path;
using testing::make_trie;
using testing::path_of;
using testing::TestNode;
using testing::word_nodes;

constexpr uint32_t kMaxU32Dist = 4294967295u;

using TermList = std::vector<std::pair<std::string, uint32_t>>;

TermList terms_of(const std::vector<MatchResult>& matches) {
  TermList out;
  for (const MatchResult& m : matches) out.emplace_back(m.term, m.distance);
  return out;
}

TermList paths_of(const std::vector<TestNode>& nodes, const std::vector<NodeMatch>& matches) {
  TermList out;
  for (const NodeMatch& m : matches) out.emplace_back(path_of(nodes, m.node), m.distance);
  return out;
}

struct TermCase {
  const char* name;
  std::vector<std::string> words;
  std::string query;
  uint32_t max_dist;
  std::optional<uint64_t> limit;
  TermList expected;
};

TEST(FuzzyMatch, Cases) {
  const std::string nul(1, '\0');
  const TermCase cases[] = {
      {"prefix term reported before its extension", {"ab", "abc"}, "abc", 1, {}, {{"ab", 1}, {"abc", 0}}},
      {"depth-first order, not by distance", {"xbc", "abd", "abc"}, "abc", 1, {},
       {{"xbc", 1}, {"abd", 1}, {"abc", 0}}},
      {"siblings follow edge order", {"b", "a", "c"}, "", 1, {}, {{"b", 1}, {"a", 1}, {"c", 1}}},
      {"empty query reaches the root's terminal children only", {"", "a", "cd", "b"}, "", 1, {},
       {{"a", 1}, {"b", 1}}},
      {"empty query, max_dist 0: the root is never reported", {"", "a"}, "", 0, {}, {}},
      {"max_dist 0: exact matches only, below inner prefixes", {"ab", "abc", "abd", "abcd"}, "abd", 0, {},
       {{"abd", 0}}},
      {"no transposition step", {"ba"}, "ab", 1, {}, {}},
      {"transposition costs two", {"ba"}, "ab", 2, {}, {{"ba", 2}}},
      {"case-sensitive", {"Abc"}, "abc", 0, {}, {}},
      {"limit 1 keeps the first match in walk order", {"xbc", "abc"}, "abc", 1, 1, {{"xbc", 1}}},
      {"limit 0 behaves like 1", {"xbc", "abc"}, "abc", 1, 0, {{"xbc", 1}}},
      {"limit stops before the subtree", {"ab", "abc"}, "abc", 1, 1, {{"ab", 1}}},
      {"limit above the match count", {"ab", "abc"}, "abc", 1, 10, {{"ab", 1}, {"abc", 0}}},
      {"a two-byte scalar is one edit", {"café", "cafe", "cafés"}, "cafè", 1, {}, {{"café", 1}, {"cafe", 1}}},
      {"a three-byte scalar is one edit", {"日本", "日本語"}, "日x", 1, {}, {{"日本", 1}}},
      {"a four-byte scalar is one edit", {"😀x", "xx"}, "😀", 1, {}, {{"😀x", 1}}},
      {"multi-byte query and term match exactly", {"日本語"}, "日本語", 0, {}, {{"日本語", 0}}},
      {"U+0000 label hides the node and its subtree", {"a", "a" + nul, "a" + nul + "b", nul, "ab"}, "a", 2, {},
       {{"a", 0}, {"ab", 1}}},
      {"a root without edges", {""}, "a", 3, {}, {}},
  };
  for (const TermCase& c : cases) {
    const FinishedTrie trie = make_trie(word_nodes(c.words));
    EXPECT_EQ(terms_of(fuzzy_match(trie, c.query, c.max_dist, c.limit)), c.expected) << c.name;
  }
}

struct NodeCase {
  const char* name;
  std::vector<std::string> words;
  std::string query;
  uint32_t max_dist;
  std::optional<uint64_t> limit;
  bool terminal_only;
  TermList expected;  // path strings of the reported nodes
};

TEST(FuzzyMatchNodes, Cases) {
  const std::string nul(1, '\0');
  const NodeCase cases[] = {
      {"inner node matching the whole query", {"abc"}, "ab", 0, {}, false, {{"ab", 0}}},
      {"inner node of a longer term", {"catalog"}, "cat", 0, {}, false, {{"cat", 0}}},
      {"terminal_only hides inner nodes", {"catalog"}, "cat", 0, {}, true, {}},
      {"empty query: every visible child of the root", {"ab", "c", nul + "d"}, "", 1, {}, false,
       {{"a", 1}, {"c", 1}}},
      {"inner nodes in pre-order", {"abc"}, "abc", 1, {}, false, {{"ab", 1}, {"abc", 0}}},
      {"U+0000 label hidden whatever terminal_only", {"a" + nul + "a", "aa"}, "aa", 1, {}, false,
       {{"a", 1}, {"aa", 0}}},
      {"limit 0 keeps one entry", {"abc"}, "abc", 3, 0, false, {{"a", 2}}},
  };
  for (const NodeCase& c : cases) {
    const std::vector<TestNode> nodes = word_nodes(c.words);
    const FinishedTrie trie = make_trie(nodes);
    EXPECT_EQ(paths_of(nodes, fuzzy_match_nodes(trie, c.query, c.max_dist, c.limit, c.terminal_only)), c.expected)
        << c.name;
  }
}

// A finished trie whose derived structures were taken away must not be
// walked, whichever search would run.
TEST(Matchers, UnfinishedTrieIsAnInternalFailure) {
  FinishedTrie trie = make_trie(word_nodes({"ab", "b", "abc"}));
  trie.forward_backward.reset();
  EXPECT_THROW(fuzzy_match(trie, "ab", 1, {}), InternalFailure);
  EXPECT_THROW(fuzzy_match(trie, "abc", 1, {}), InternalFailure);
  EXPECT_THROW(fuzzy_match_nodes(trie, "", 1, {}, false), InternalFailure);
}

TEST(Matchers, EmptyTrieGivesNothing) {
  const FinishedTrie trie = testing::make_trie({});
  EXPECT_TRUE(fuzzy_match(trie, "a", kMaxU32Dist, {}).empty());
  EXPECT_TRUE(fuzzy_match_nodes(trie, "", kMaxU32Dist, {}, false).empty());
  EXPECT_TRUE(fuzzy_match_nodes(trie, "a", 1, {}, true).empty());
}

// Distances never exceed the longer of the two strings, so any max_dist past
// that must give the same answer: no 16-bit truncation of max_dist.
TEST(FuzzyMatch, HugeMaxDistMatchesEveryTerm) {
  const std::vector<std::string> words = {"a", "abc", "xyz", "hello", "helo", "日本語", "help"};
  const FinishedTrie trie = make_trie(word_nodes(words));
  const TermList all = terms_of(fuzzy_match(trie, "help", 100, {}));
  ASSERT_EQ(all.size(), words.size());
  for (const auto& [term, distance] : all) {
    EXPECT_EQ(distance, reference::levenshtein(reference::to_scalars(term), U"help")) << term;
  }
  for (const uint32_t max_dist : {65535u, 65536u, 65537u, 131072u, kMaxU32Dist}) {
    EXPECT_EQ(terms_of(fuzzy_match(trie, "help", max_dist, {})), all) << max_dist;
  }
}

// Queries whose distances leave the 16-bit range: the row of a query of n
// scalars holds values up to n + 1 before the minimum is taken.
TEST(FuzzyMatch, LongQueriesKeepExactDistances) {
  struct Case {
    std::vector<std::string> words;
    std::size_t query_length;  // of a query of 'a's
    uint32_t max_dist;
    TermList expected;
  };
  const Case cases[] = {
      {{"b"}, 65534, 65534, {{"b", 65534}}},
      {{"b"}, 65534, 65533, {}},
      {{"b"}, 65535, 0, {}},
      {{"b"}, 65535, 65535, {{"b", 65535}}},
      {{"b"}, 65536, 0, {}},
      {{"b"}, 65536, 65536, {{"b", 65536}}},
      {{"aaa", "aab", "b"}, 70000, 69996, {}},
      {{"aaa", "aab", "b"}, 70000, 69997, {{"aaa", 69997}}},
      {{"aaa", "aab", "b"}, 70000, kMaxU32Dist, {{"aaa", 69997}, {"aab", 69998}, {"b", 70000}}},
  };
  for (const Case& c : cases) {
    const FinishedTrie trie = make_trie(word_nodes(c.words));
    EXPECT_EQ(terms_of(fuzzy_match(trie, std::string(c.query_length, 'a'), c.max_dist, {})), c.expected)
        << c.query_length << " " << c.max_dist;
  }
}

// A path of 100,000 nodes: deeper than a recursive walk could go on a
// thread's stack, and deeper than 16-bit cells count.
TEST(Matchers, DeepChain) {
  constexpr uint32_t kDepth = 100000;
  std::vector<TestNode> nodes(kDepth + 1);
  for (uint32_t i = 1; i <= kDepth; ++i) nodes[i] = {i - 1, U'a'};
  nodes[50000].terminal = true;
  nodes[kDepth].terminal = true;
  const FinishedTrie trie = make_trie(nodes);

  const std::vector<MatchResult> terms = fuzzy_match(trie, "aaa", kMaxU32Dist, {});
  ASSERT_EQ(terms.size(), 2u);
  EXPECT_EQ(terms[0].term, std::string(50000, 'a'));
  EXPECT_EQ(terms[0].distance, 49997u);
  EXPECT_EQ(terms[1].term, std::string(kDepth, 'a'));
  EXPECT_EQ(terms[1].node, kDepth);
  EXPECT_EQ(terms[1].distance, 99997u);

  const std::vector<NodeMatch> all = fuzzy_match_nodes(trie, "aaa", kMaxU32Dist, {}, false);
  ASSERT_EQ(all.size(), kDepth);
  for (uint32_t i = 0; i < kDepth; ++i) {
    ASSERT_EQ(all[i].node, i + 1);
    ASSERT_EQ(all[i].distance, i + 1 > 3 ? i + 1 - 3 : 3 - (i + 1));
  }
  // Pruning ends the walk at depth n + max_dist.
  EXPECT_EQ(fuzzy_match_nodes(trie, "aaa", 10, {}, false).size(), 13u);
}

// A spine whose every node also has a leaf after it: each spine node stays
// pending while the walk goes down, so the row storage must grow.
TEST(FuzzyMatchNodes, DeepCombAgreesWithReference) {
  constexpr uint32_t kDepth = 3000;
  std::vector<TestNode> nodes(1);
  uint32_t spine = 0;
  for (uint32_t i = 0; i < kDepth; ++i) {
    nodes.push_back({spine, U'a', i % 7 == 0});
    const auto next = static_cast<uint32_t>(nodes.size() - 1);
    nodes.push_back({spine, U'b', true});
    spine = next;
  }
  const FinishedTrie trie = make_trie(nodes);
  for (const std::string& query : {std::string("ab"), std::string(100, 'a')}) {
    for (const bool terminal_only : {false, true}) {
      std::vector<reference::NodeDistance> got;
      for (const NodeMatch& m : fuzzy_match_nodes(trie, query, kMaxU32Dist, {}, terminal_only)) {
        got.push_back({m.node, m.distance});
      }
      EXPECT_EQ(got, reference::naive_walk(trie, reference::to_scalars(query), kMaxU32Dist, terminal_only))
          << query.size() << " " << terminal_only;
    }
  }
}

// A comb as deep as the query is long: every spine node stays pending, so
// rows of the whole query (40 kB each here) would pass the row storage's
// cap, while the band around the diagonal takes a few cells per node.
TEST(FuzzyMatchNodes, LongQueryOnDeepCombUsesTheBand) {
  constexpr uint32_t kDepth = 20000;
  std::vector<TestNode> nodes(1);
  uint32_t spine = 0;
  for (uint32_t i = 0; i < kDepth; ++i) {
    nodes.push_back({spine, U'a', false});
    const auto next = static_cast<uint32_t>(nodes.size() - 1);
    nodes.push_back({spine, U'b', true});
    spine = next;
  }
  const FinishedTrie trie = make_trie(nodes);
  // Spine node at depth d is node 2d - 1, the leaf a^d b node 2d + 2.
  const std::vector<std::pair<uint32_t, uint32_t>> expected = {
      {2 * kDepth - 3, 1}, {2 * kDepth - 1, 0}, {2 * kDepth, 1}};
  std::vector<std::pair<uint32_t, uint32_t>> got;
  for (const NodeMatch& m : fuzzy_match_nodes(trie, std::string(kDepth, 'a'), 1, {}, false)) {
    got.emplace_back(m.node, m.distance);
  }
  EXPECT_EQ(got, expected);
}

// A query longer than the deepest path plus max_dist matches nothing, and
// one exactly that long still finds what is there.
TEST(Matchers, QueryLongerThanEveryPathPlusMaxDist) {
  struct Case {
    std::vector<std::string> words;
    std::string query;
    uint32_t max_dist;
    bool terminal_only;
    TermList expected;
  };
  const std::string nul(1, '\0');
  const Case cases[] = {
      {{"abc", "x"}, "abcde", 2, true, {{"abc", 2}}},
      {{"abc", "x"}, "abcdef", 2, true, {}},
      {{"abc"}, "abcd", 1, false, {{"abc", 1}}},
      {{"abc"}, "abcde", 1, false, {}},
      // A deeper path behind a U+0000 label is invisible and does not count.
      {{"ab", "x" + nul + "xxxxxx"}, "abc", 1, true, {{"ab", 1}}},
      {{"ab", "x" + nul + "xxxxxx"}, "abcd", 1, true, {}},
      {{"ab"}, std::string(9'600'000, 'a'), 1, false, {}},
      // Lengths in scalars, not bytes: 4 scalars in 12 bytes, then 5.
      {{"日本"}, "日本語語", 2, true, {{"日本", 2}}},
      {{"日本"}, "日本語語語", 2, true, {}},
  };
  for (const Case& c : cases) {
    const std::vector<TestNode> nodes = word_nodes(c.words);
    const FinishedTrie trie = make_trie(nodes);
    EXPECT_EQ(paths_of(nodes, fuzzy_match_nodes(trie, c.query, c.max_dist, {}, c.terminal_only)), c.expected)
        << c.query.substr(0, 10) << " " << c.max_dist;
    if (c.terminal_only) EXPECT_EQ(terms_of(fuzzy_match(trie, c.query, c.max_dist, {})), c.expected);
  }
}

// Seeded random tries over a small alphabet with multi-byte scalars and an
// occasional U+0000 label, checked against the brute-force distance and the
// recursive reference walk.
TEST(Matchers, RandomTriesAgreeWithReference) {
  const std::vector<std::string> alphabet = {"a", "b", "c", "é", "😀", std::string(1, '\0')};
  std::mt19937 rng(20240607);
  const auto random_word = [&](std::size_t max_length, std::size_t symbols) {
    std::string word;
    for (std::size_t k = std::uniform_int_distribution<std::size_t>(0, max_length)(rng); k > 0; --k) {
      word += alphabet[std::uniform_int_distribution<std::size_t>(0, symbols - 1)(rng)];
    }
    return word;
  };

  for (int round = 0; round < 300; ++round) {
    std::vector<std::string> words;
    for (int k = std::uniform_int_distribution<int>(0, 25)(rng); k > 0; --k) {
      // U+0000 is the last symbol and comes up about once per 30 letters.
      const std::size_t symbols = std::uniform_int_distribution<int>(0, 5)(rng) == 0 ? 6 : 5;
      words.push_back(random_word(6, symbols));
    }
    const std::vector<TestNode> nodes = word_nodes(words);
    const FinishedTrie trie = make_trie(nodes);

    for (int probe = 0; probe < 4; ++probe) {
      const std::string query = random_word(6, 5);
      const std::u32string q = reference::to_scalars(query);
      for (uint32_t max_dist = 0; max_dist <= 3; ++max_dist) {
        const std::vector<MatchResult> terms = fuzzy_match(trie, query, max_dist, {});
        SCOPED_TRACE("round " + std::to_string(round) + " query '" + query + "' max_dist " +
                     std::to_string(max_dist));

        // The same (term, distance) set as brute force over the visible words.
        TermList expected;
        for (const std::string& word : words) {
          const std::u32string w = reference::to_scalars(word);
          if (w.empty() || w.find(U'\0') != std::u32string::npos) continue;
          const uint64_t distance = reference::levenshtein(w, q);
          if (distance <= max_dist) expected.emplace_back(word, distance);
        }
        std::sort(expected.begin(), expected.end());
        expected.erase(std::unique(expected.begin(), expected.end()), expected.end());
        TermList got = terms_of(terms);
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got, expected);

        // The same order as the reference walk, and the text is the node's path.
        std::vector<reference::NodeDistance> term_nodes;
        for (const MatchResult& m : terms) {
          term_nodes.push_back({m.node, m.distance});
          EXPECT_EQ(m.term, path_of(nodes, m.node));
        }
        EXPECT_EQ(term_nodes, reference::naive_walk(trie, q, max_dist, true));

        for (const bool terminal_only : {true, false}) {
          std::vector<reference::NodeDistance> got_nodes;
          for (const NodeMatch& m : fuzzy_match_nodes(trie, query, max_dist, {}, terminal_only)) {
            got_nodes.push_back({m.node, m.distance});
          }
          EXPECT_EQ(got_nodes, reference::naive_walk(trie, q, max_dist, terminal_only));
        }

        // A limit keeps the first matches of the full list.
        const auto limit = std::uniform_int_distribution<uint64_t>(0, terms.size() + 1)(rng);
        const std::vector<MatchResult> limited = fuzzy_match(trie, query, max_dist, limit);
        const std::size_t kept = std::min<std::size_t>(std::max<uint64_t>(limit, 1), terms.size());
        const TermList in_order = terms_of(terms);
        EXPECT_EQ(terms_of(limited), TermList(in_order.begin(), in_order.begin() + static_cast<std::ptrdiff_t>(kept)));
      }
    }
  }
}

// Words a few edits away from a query of each length on either side of the
// splits in the row representation (1 to 64 scalars fit a machine word, 65
// and more take cells; 4-step groups in the band), over ASCII, other Latin-1
// and wider scalars, with an occasional U+0000 label or query scalar. Both
// matchers, at distances from 0 to beyond every word, against the reference
// walk, order included.
TEST(Matchers, QueriesOfEveryWidthAgreeWithReference) {
  const std::u32string alphabet = U"abcé日😀";
  std::mt19937 rng(20240611);
  const auto below = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); };
  // U+0000 about once per 40 scalars.
  const auto scalar = [&] { return below(40) == 0 ? U'\0' : alphabet[below(alphabet.size())]; };
  const auto edited = [&](std::u32string w, std::size_t edits) {
    for (; edits > 0; --edits) {
      const std::size_t at = below(w.size() + 1);
      const std::size_t kind = w.empty() ? 1 : below(3);
      if (kind == 0) {
        w[std::min(at, w.size() - 1)] = scalar();
      } else if (kind == 1) {
        w.insert(w.begin() + static_cast<std::ptrdiff_t>(at), scalar());
      } else {
        w.erase(std::min(at, w.size() - 1), 1);
      }
    }
    return w;
  };

  const std::size_t lengths[] = {1, 2, 3, 4, 5, 7, 8, 9, 31, 32, 33, 62, 63, 64, 65, 66, 100, 300};
  const uint32_t distances[] = {0, 1, 2, 3, 4, 5, 9, 63, 64, 65, 1000, kMaxU32Dist};
  for (const std::size_t length : lengths) {
    for (int round = 0; round < 12; ++round) {
      std::u32string q;
      while (q.size() < length) q.push_back(below(60) == 0 ? U'\0' : alphabet[below(alphabet.size())]);
      std::vector<std::string> words;
      for (int k = 0; k < 10; ++k) {
        // A prefix or an extension of the query, then a few edits.
        std::u32string w = q.substr(0, q.size() - std::min(q.size(), below(4)));
        for (std::size_t extra = below(3); extra > 0; --extra) w.push_back(scalar());
        words.push_back(reference::to_utf8(edited(w, below(5))));
      }
      for (int k = 0; k < 3; ++k) words.push_back(reference::to_utf8(edited(U"", below(length + 3))));
      // Past the query by a scalar or two, then the query again: the walk
      // must know that the band has run past cell n.
      words.push_back(reference::to_utf8(q + edited(U"", 1 + below(2)) + q));
      const std::vector<TestNode> nodes = word_nodes(words);
      const FinishedTrie trie = make_trie(nodes);
      const std::string query = reference::to_utf8(q);

      for (const uint32_t max_dist : distances) {
        SCOPED_TRACE("length " + std::to_string(length) + " round " + std::to_string(round) + " max_dist " +
                     std::to_string(max_dist));
        std::vector<reference::NodeDistance> terms;
        for (const MatchResult& m : fuzzy_match(trie, query, max_dist, {})) {
          terms.push_back({m.node, m.distance});
          ASSERT_EQ(m.term, path_of(nodes, m.node));
        }
        ASSERT_EQ(terms, reference::naive_walk(trie, q, max_dist, true));
        std::vector<reference::NodeDistance> all;
        for (const NodeMatch& m : fuzzy_match_nodes(trie, query, max_dist, {}, false)) {
          all.push_back({m.node, m.distance});
        }
        ASSERT_EQ(all, reference::naive_walk(trie, q, max_dist, false));
      }
    }
  }
}

// The searches that start from an exact half of the query: terms one or
// two edits away right at the cut between the halves, runs of one letter
// (where many alignments tie), and the same term stored under two sibling
// nodes with equal labels, which the reverse trie holds once. Every other
// round stores the words in sorted order over a wider alphabet, so that
// nodes have their children in label order and more of them than the
// search looks at one by one. Results, order and limits exactly as the
// reference walk gives them.
TEST(Matchers, ForwardBackwardCasesAgreeWithReference) {
  std::mt19937 rng(20261210);
  const auto below = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); };
  for (std::size_t length = 1; length <= 20; ++length) {
    for (int round = 0; round < 8; ++round) {
      const bool sorted = round % 2 == 1;
      const std::u32string alphabet = sorted ? U"abcdefghijé😀" : U"abé😀";
      std::u32string q;
      for (std::size_t i = 0; i < length; ++i) q.push_back(round % 3 == 0 ? U'a' : alphabet[below(alphabet.size())]);
      const std::size_t cut = (length + 1) / 2;
      std::vector<std::u32string> words;
      for (int k = 0; k < 24; ++k) {
        std::u32string w = q;
        for (std::size_t edits = 1 + below(3); edits > 0; --edits) {
          // Mostly within one scalar of the cut.
          const std::size_t at = std::min(w.size(), below(4) == 0 ? below(w.size() + 1) : cut + below(3) - 1);
          const std::size_t kind = w.empty() ? 1 : below(3);
          if (kind == 0) w[std::min(at, w.size() - 1)] = alphabet[below(alphabet.size())];
          if (kind == 1) w.insert(w.begin() + static_cast<std::ptrdiff_t>(at), alphabet[below(alphabet.size())]);
          if (kind == 2) w.erase(std::min(at, w.size() - 1), 1);
        }
        words.push_back(w);
      }
      words.push_back(q);
      if (sorted) {
        // Every letter one edit into the query, at the cut and at the start.
        for (const char32_t c : alphabet) {
          words.push_back(q.substr(0, cut) + c + q.substr(cut));
          words.push_back(c + q.substr(1));
        }
        std::sort(words.begin(), words.end());
      }
      std::vector<std::string> utf8;
      for (const std::u32string& w : words) utf8.push_back(reference::to_utf8(w));
      std::vector<TestNode> nodes = word_nodes(utf8);
      if (!sorted) {
        // A second path for one of the words, beside the first.
        const std::u32string& twin = words[below(words.size())];
        uint32_t parent = 0;
        for (const char32_t c : twin) {
          nodes.push_back({parent, c});
          parent = static_cast<uint32_t>(nodes.size() - 1);
        }
        if (parent != 0) nodes[parent].terminal = true;
      }
      const FinishedTrie trie = make_trie(nodes);
      for (uint32_t max_dist = 0; max_dist <= 3; ++max_dist) {
        SCOPED_TRACE("length " + std::to_string(length) + " round " + std::to_string(round) + " max_dist " +
                     std::to_string(max_dist));
        ASSERT_NO_FATAL_FAILURE(testing::expect_agrees_with_reference(trie, nodes, q, max_dist));
      }
    }
  }
}

// A chain with a term at every node: its reversed terms share nothing, so
// an index would grow with the square of the depth. The trie gets none,
// and the walk answers every search.
TEST(Matchers, TrieWhoseTermsAreTooLongInAllIsWalked) {
  std::vector<TestNode> nodes(1);
  for (uint32_t i = 0; i < 2000; ++i) nodes.push_back({i, static_cast<char32_t>(U'a' + i % 20), true});
  const FinishedTrie trie = make_trie(nodes);
  EXPECT_EQ(trie.forward_backward->get(trie), nullptr);
  const std::u32string q = U"abcdefxhij";
  for (const uint32_t max_dist : {1u, 2u}) {
    std::vector<reference::NodeDistance> got;
    for (const MatchResult& m : fuzzy_match(trie, reference::to_utf8(q), max_dist, {})) {
      got.push_back({m.node, m.distance});
    }
    EXPECT_EQ(got, reference::naive_walk(trie, q, max_dist, true)) << max_dist;
    EXPECT_FALSE(got.empty());
  }
  const FinishedTrie indexed = make_trie(word_nodes({"abcdefghij", "abcdefxhij"}));
  EXPECT_NE(indexed.forward_backward->get(indexed), nullptr);
}

// A node with more children than an edge entry counts: the walk looks its
// edge range up instead, and still finds what lies below every child.
TEST(Matchers, NodeWithThousandsOfChildren) {
  constexpr uint32_t kChildren = 3000;
  std::vector<TestNode> nodes = {{}, {0, U'a'}};
  for (uint32_t i = 0; i < kChildren; ++i) {
    nodes.push_back({1, static_cast<char32_t>(0x100 + i)});
    nodes.push_back({static_cast<uint32_t>(nodes.size() - 1), U'z', true});
  }
  const FinishedTrie trie = make_trie(nodes);
  const std::string last = reference::to_utf8(std::u32string{U'a', static_cast<char32_t>(0x100 + kChildren - 1), U'z'});
  EXPECT_EQ(terms_of(fuzzy_match(trie, last, 0, {})), (TermList{{last, 0}}));
  const std::u32string q = reference::to_scalars(last);
  for (const uint32_t max_dist : {1u, 2u}) {
    std::vector<reference::NodeDistance> got;
    for (const NodeMatch& m : fuzzy_match_nodes(trie, last, max_dist, {}, true)) got.push_back({m.node, m.distance});
    EXPECT_EQ(got, reference::naive_walk(trie, q, max_dist, true)) << max_dist;
    EXPECT_EQ(got.size(), kChildren) << max_dist;
  }
}

}  // namespace
}  // namespace corvalind
