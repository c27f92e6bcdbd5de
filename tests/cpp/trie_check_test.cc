#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "payloads.h"
#include "prefix/trie/trie.h"

namespace corvalind {
namespace {

// A trie with the given edges: root labelled U+0000 without a payload, every
// other node labelled 'a', terminal, with the payload {4, [1], [4]}; integer
// ids. Payload entry offsets are 0, 0, 1, 2, ...
Trie tree(std::vector<uint32_t> node_shifts, std::vector<uint32_t> child_transitions) {
  Trie t;
  std::size_t n = node_shifts.size();
  t.node_shifts = std::move(node_shifts);
  t.child_transitions = std::move(child_transitions);
  t.child_labels.assign(n, U'a');
  t.is_terminal.assign(n, 1);
  const uint32_t ids[] = {1};
  const uint32_t counts[] = {4};
  for (std::size_t i = 0; i < n; ++i) {
    push_payload(t.payloads, i == 0 ? std::nullopt : std::optional(PayloadView{4, ids, counts}));
  }
  if (n > 0) {
    t.child_labels[0] = U'\0';
    t.is_terminal[0] = 0;
  }
  t.video_int_ids = {10, 20};
  t.id_mode = IdMode::Int32;
  return t;
}

// Root -> 1, 2; 1 -> 3.
Trie base() { return tree({0, 2, 3, 3}, {1, 2, 3}); }

struct Case {
  const char* name;
  std::function<void(Trie&)> change;  // applied to base()
  const char* message = nullptr;      // nullptr: accepted
};

void run(const Case& c) {
  SCOPED_TRACE(c.name);
  Trie trie = base();
  c.change(trie);
  auto checked = check_trie(trie);
  if (c.message == nullptr) {
    EXPECT_TRUE(checked.has_value()) << checked.error().message;
    return;
  }
  ASSERT_FALSE(checked.has_value());
  EXPECT_EQ(checked.error().type, ErrorType::ValueError);
  EXPECT_EQ(checked.error().message, c.message);
}

TEST(CheckTrie, Refused) {
  const Case cases[] = {
      // Node-indexed fields against child_labels.
      {"node_shifts short", [](Trie& t) { t.node_shifts.pop_back(); },
       "malformed trie: node_shifts has 3 entries but child_labels has 4"},
      {"payloads long", [](Trie& t) { push_payload(t.payloads, std::nullopt); },
       "malformed trie: payloads has 5 entries but child_labels has 4"},
      {"is_terminal short", [](Trie& t) { t.is_terminal.pop_back(); },
       "malformed trie: is_terminal has 3 entries but child_labels has 4"},
      {"first length wins",
       [](Trie& t) {
         t.is_terminal.pop_back();
         t.node_shifts.pop_back();
       },
       "malformed trie: node_shifts has 3 entries but child_labels has 4"},
      // The payload table itself.
      {"totals short", [](Trie& t) { t.payloads.totals.pop_back(); },
       "malformed trie: payloads.totals has 3 entries but payloads has 4"},
      {"entry_offsets short", [](Trie& t) { t.payloads.entry_offsets.pop_back(); },
       "malformed trie: payloads.entry_offsets has 4 entries but should have 5"},
      {"entry_offsets decrease", [](Trie& t) { t.payloads.entry_offsets[3] = 0; },
       "malformed trie: payloads.entry_offsets[3] = 0 is below entry_offsets[2] = 1"},
      {"present neither 0 nor 1", [](Trie& t) { t.payloads.present[1] = 2; },
       "malformed trie: payloads.present[1] = 2 is neither 0 nor 1"},
      {"absent with entries", [](Trie& t) { t.payloads.present[2] = 0; },
       "malformed trie: payloads[2] is absent but has 1 entries"},
      {"absent with a total", [](Trie& t) { t.payloads.totals[0] = 5; },
       "malformed trie: payloads[0] is absent but has total 5"},
      {"entries past the last offset", [](Trie& t) { t.payloads.video_ids.push_back(9); },
       "malformed trie: payloads.entry_offsets ends at 3 but video_ids has 4 and video_counts 3 entries"},
      {"video_counts short", [](Trie& t) { t.payloads.video_counts.pop_back(); },
       "malformed trie: payloads.entry_offsets ends at 3 but video_ids has 3 and video_counts 2 entries"},
      {"stray entries with no nodes", [](Trie& t) { t = Trie{}; t.payloads.video_ids = {1}; },
       "malformed trie: payloads.entry_offsets ends at 0 but video_ids has 1 and video_counts 0 entries"},
      // Edges.
      {"target not a node", [](Trie& t) { t.child_transitions[2] = 4; },
       "malformed trie: child_transitions[2] = 4 is not a node (4 nodes)"},
      {"first bad target wins", [](Trie& t) { t.child_transitions = {1, 7, 9}; },
       "malformed trie: child_transitions[1] = 7 is not a node (4 nodes)"},
      {"edges without nodes", [](Trie& t) { t = Trie{}; t.child_transitions = {0}; },
       "malformed trie: child_transitions[0] = 0 is not a node (0 nodes)"},
      {"edge range past the edges", [](Trie& t) { t.node_shifts[2] = 5; },
       "malformed trie: edges of node 1 end at node_shifts[2] = 5, past the 3 entries of child_transitions"},
      {"targets checked before ranges",
       [](Trie& t) {
         t.node_shifts[2] = 5;
         t.child_transitions[0] = 4;
       },
       "malformed trie: child_transitions[0] = 4 is not a node (4 nodes)"},
      // Id table.
      {"Int32 with 16-byte ids", [](Trie& t) { t.video_uuids.push_back(Uuid{}); },
       "malformed trie: id_mode is Int32 but video_uuids is not empty"},
      {"Uuid with integer ids", [](Trie& t) { t.id_mode = IdMode::Uuid; },
       "malformed trie: id_mode is Uuid but video_int_ids is not empty"},
      // Shape of what the root reaches.
      {"edge back to the root", [](Trie& t) { t.child_transitions[2] = 0; },
       "malformed trie: child_transitions[2] = 0 leads back to the root"},
      {"root loops on itself", [](Trie& t) { t = tree({0}, {0}); },
       "malformed trie: child_transitions[0] = 0 leads back to the root"},
      {"node with two parents", [](Trie& t) { t.child_transitions = {1, 2, 2}; },
       "malformed trie: child_transitions[2] = 2 reaches node 2 a second time"},
      {"two nodes sharing an edge range", [](Trie& t) { t = tree({0, 2, 0, 3}, {1, 2, 3}); },
       "malformed trie: child_transitions[0] = 1 reaches node 1 a second time"},
      {"cycle below the root", [](Trie& t) { t = tree({0, 1, 2, 3}, {1, 2, 1}); },
       "malformed trie: child_transitions[2] = 1 reaches node 1 a second time"},
      {"walk goes behind U+0000 labels",
       [](Trie& t) {
         t.child_labels[1] = U'\0';
         t.child_transitions = {1, 2, 2};
       },
       "malformed trie: child_transitions[2] = 2 reaches node 2 a second time"},
  };
  for (const Case& c : cases) run(c);
}

TEST(CheckTrie, Accepted) {
  const Case cases[] = {
      {"base", [](Trie&) {}},
      {"no nodes", [](Trie& t) { t = Trie{}; }},
      {"no nodes, one offset", [](Trie& t) { t = Trie{}; t.payloads.entry_offsets = {0}; }},
      {"16-byte ids", [](Trie& t) {
         t.id_mode = IdMode::Uuid;
         t.video_int_ids.clear();
         t.video_uuids = {Uuid{}, Uuid{}};
       }},
      {"U+0000 labels below the root", [](Trie& t) { t.child_labels[2] = t.child_labels[3] = U'\0'; }},
      // Node 1's range [2, 0) is empty; node 3 is unreachable, so its range
      // [0, 2), shared with the root, is never walked.
      {"leaf with end below begin, unreachable node", [](Trie& t) { t = tree({0, 2, 0, 0}, {1, 2}); }},
      {"root whose range starts past the edges", [](Trie& t) { t = tree({5}, {}); }},
      // Ranges [9, 8) and [8, 0) are empty, so their ends past E don't matter.
      {"empty ranges ending past the edges", [](Trie& t) { t = tree({9, 8, 0}, {1}); }},
  };
  for (const Case& c : cases) run(c);
}

}  // namespace
}  // namespace corvalind
