// Seeded property tests over wide alphabets: tries of thousands of terms
// over 26 to 60 letters, every node's children in label order. Nodes near a
// query then have dozens of children, and where a child whose label matches
// no scalar of the query cannot stay within reach, the forward-backward
// search finds the children of the few labels that can by bisection (one
// run of children per label, visited in edge order) instead of looking at
// each. Words fan out at every depth of each query, below its exact start
// (the forward search), above its exact end (the backward search, through
// the reverse trie) and one edit off either, so that this happens at many
// depths of both searches; some small subtrees are stored twice under equal
// labels, giving several nodes with the same path string. Results, order,
// texts and limits exactly as the reference walk gives them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "prefix/matcher/matcher.h"
#include "agrees_with_reference.h"
#include "reference.h"
#include "test_trie.h"

namespace corvalind {
namespace {

using testing::make_trie;
using testing::path_of;
using testing::TestNode;

// `letters` scalars in ascending order: ASCII, then Greek, then CJK, the
// last a four-byte one, so that texts of every UTF-8 width come up.
std::u32string wide_alphabet(std::size_t letters) {
  std::u32string alphabet;
  for (std::size_t i = 0; i < letters - 1; ++i) {
    alphabet.push_back(i < 26 ? U'a' + i : i < 50 ? U'α' + (i - 26) : U'一' + (i - 50));
  }
  alphabet.push_back(U'😀');
  return alphabet;
}

// Subtrees of at most this many terms may be stored twice.
constexpr std::size_t kMaxTwinTerms = 4;

// Adds the node of `words[0]`'s first `depth` scalars below `parent` (the
// root for depth 0) and the subtree of `words` (sorted, unique, all sharing
// that prefix) below it, children in label order, a small child subtree
// twice in a row with probability 1/twin_odds (never for 0).
void add_subtree(std::vector<TestNode>& nodes, uint32_t parent, std::span<const std::u32string> words,
                 std::size_t depth, std::mt19937& rng, uint32_t twin_odds) {
  nodes.push_back(depth == 0 ? TestNode{} : TestNode{parent, words[0][depth - 1]});
  const auto node = static_cast<uint32_t>(nodes.size() - 1);
  std::size_t i = 0;
  if (words[0].size() == depth) {
    nodes[node].terminal = depth > 0;
    i = 1;
  }
  while (i < words.size()) {
    std::size_t end = i + 1;
    while (end < words.size() && words[end][depth] == words[i][depth]) ++end;
    const std::span<const std::u32string> group = words.subspan(i, end - i);
    const bool twice = twin_odds != 0 && group.size() <= kMaxTwinTerms &&
                       std::uniform_int_distribution<uint32_t>(1, twin_odds)(rng) == 1;
    for (int copy = twice ? 2 : 1; copy > 0; --copy) add_subtree(nodes, node, group, depth + 1, rng, twin_odds);
    i = end;
  }
}

struct Round {
  std::size_t letters;
  uint32_t seed;
  uint32_t twin_odds;
};

TEST(WideAlphabet, PrunedLabelRunsAgreeWithReference) {
  const Round rounds[] = {{26, 1, 40}, {26, 2, 0}, {40, 3, 40}, {60, 4, 40}, {60, 5, 0}};
  for (const Round& round : rounds) {
    const std::u32string alphabet = wide_alphabet(round.letters);
    std::mt19937 rng(round.seed);
    const auto below = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); };
    const auto letter = [&] { return alphabet[below(alphabet.size())]; };
    const auto random_text = [&](std::size_t lo, std::size_t hi) {
      std::u32string w;
      for (std::size_t k = lo + below(hi - lo + 1); k > 0; --k) w.push_back(letter());
      return w;
    };
    const auto edited = [&](std::u32string w, std::size_t edits) {
      for (; edits > 0; --edits) {
        const std::size_t at = below(w.size() + 1);
        const std::size_t kind = w.empty() ? 1 : below(3);
        if (kind == 0) w[std::min(at, w.size() - 1)] = letter();
        if (kind == 1) w.insert(w.begin() + static_cast<std::ptrdiff_t>(at), letter());
        if (kind == 2) w.erase(std::min(at, w.size() - 1), 1);
      }
      return w;
    };

    // Queries of 3 to 20 scalars, more of 3 or 4 (whose exact end alone
    // may be a term within reach) and a few of 30 to 40; every fourth from
    // three letters only, so that one label stands for several scalars of
    // the query.
    std::vector<std::u32string> queries;
    for (int k = 0; k < 20; ++k) {
      const std::size_t length = k % 10 == 9 ? 30 + below(11) : k % 5 == 2 ? 3 + below(2) : 3 + below(18);
      std::u32string q;
      while (q.size() < length) q.push_back(k % 4 == 0 ? alphabet[below(3) * 7] : letter());
      queries.push_back(q);
    }
    std::vector<std::u32string> words;
    for (const std::u32string& q : queries) {
      words.push_back(q);
      for (int k = 0; k < 8; ++k) words.push_back(edited(q, 1 + below(3)));
      // Its every start and end, and edits right at the cut between the
      // halves that the two searches start from exactly.
      for (std::size_t k = 1; k < q.size(); ++k) {
        words.push_back(q.substr(0, k));
        words.push_back(q.substr(k));
      }
      const std::size_t cut = (q.size() + 1) / 2;
      for (std::size_t at = cut - 2; at <= cut + 1 && at < q.size(); ++at) {
        for (std::size_t deleted = 1; deleted <= 2; ++deleted) {
          words.push_back(q.substr(0, at) + q.substr(std::min(q.size(), at + deleted)));
        }
        words.push_back(q.substr(0, at) + letter() + q.substr(at));
        words.push_back(q.substr(0, at) + letter() + q.substr(at + 1));
      }
      for (std::size_t d = 0; d <= q.size(); ++d) {
        if (below(2) == 0) continue;
        // At depth d of q (or of q one edit off), nodes with a dozen
        // children: below its first d scalars, above the rest but one,
        // and the same with the scalar between them replaced by x. Below
        // the replacement both q with x inserted and q with x substituted
        // go on, so that two labels within reach lead to terms.
        const std::u32string base = below(2) == 0 ? q : edited(q, 1);
        const std::size_t at = std::min(d, base.size());
        const std::u32string before = base.substr(0, at);
        const std::u32string after = at < base.size() ? base.substr(at + 1) : U"";
        const char32_t x = letter();
        words.push_back(before + x + base.substr(at));
        words.push_back(before + x + after);
        for (int k = 0; k < 12; ++k) {
          const char32_t c = letter();
          words.push_back(before + c + (below(2) == 0 ? after : random_text(0, 3)));
          words.push_back((below(2) == 0 ? before : random_text(0, 3)) + c + after);
          words.push_back(before + x + c + random_text(0, 3));
          words.push_back(random_text(0, 3) + c + x + after);
        }
      }
    }
    for (int k = 0; k < 300; ++k) words.push_back(random_text(1, 8));
    std::sort(words.begin(), words.end());
    words.erase(std::unique(words.begin(), words.end()), words.end());
    if (words.front().empty()) words.erase(words.begin());

    std::vector<TestNode> nodes;
    add_subtree(nodes, 0, words, 0, rng, round.twin_odds);
    const FinishedTrie trie = make_trie(nodes);

    // The generating queries, and each of them one edit off.
    std::vector<std::u32string> probes = queries;
    for (const std::u32string& q : queries) probes.push_back(edited(q, 1));
    for (const std::u32string& q : probes) {
      const std::string query = reference::to_utf8(q);
      for (uint32_t max_dist = 0; max_dist <= 3; ++max_dist) {
        SCOPED_TRACE("letters " + std::to_string(round.letters) + " seed " + std::to_string(round.seed) +
                     " query '" + query + "' max_dist " + std::to_string(max_dist));
        ASSERT_NO_FATAL_FAILURE(testing::expect_agrees_with_reference(trie, nodes, q, max_dist));
      }
    }
  }
}

}  // namespace
}  // namespace corvalind
