#include "builder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "payloads.h"

namespace corvalind {
namespace {

TEST(CheckFlatArrays, Cases) {
  struct Case {
    const char* name;
    std::size_t shifts_len, labels_len, payloads_len;
    std::vector<uint32_t> transitions;
    const char* message;  // nullptr: accepted
  };
  const Case cases[] = {
      {"empty input", 0, 0, 0, {}, nullptr},
      {"targets up to N-1", 3, 3, 3, {2, 1, 0}, nullptr},
      {"shifts too long", 4, 3, 3, {}, "node_shifts len 4 != child_labels len 3"},
      {"payloads too short", 3, 3, 2, {}, "payloads len 2 != child_labels len 3"},
      {"shifts decide before payloads", 5, 3, 1, {9}, "node_shifts len 5 != child_labels len 3"},
      {"payloads decide before targets", 3, 3, 4, {9}, "payloads len 4 != child_labels len 3"},
      {"target equal to N", 3, 3, 3, {1, 2, 3, 7}, "child_transitions[2] = 3 out of range [0..3)"},
      {"no nodes, one edge", 0, 0, 0, {0}, "child_transitions[0] = 0 out of range [0..0)"},
      {"largest target", 1, 1, 1, {0, 4294967295u}, "child_transitions[1] = 4294967295 out of range [0..1)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto result = check_flat_arrays(c.shifts_len, c.labels_len, c.payloads_len, c.transitions);
    if (c.message == nullptr) {
      EXPECT_TRUE(result.has_value());
    } else {
      ASSERT_FALSE(result.has_value());
      EXPECT_EQ(result.error().type, ErrorType::ValueError);
      EXPECT_EQ(result.error().message, c.message);
    }
  }
}

TEST(FirstScalar, Cases) {
  const std::pair<std::string_view, char32_t> cases[] = {
      {"", U'\0'},
      {"abc", U'a'},
      {"\x7f", U'\x7f'},
      {"\xc3\xa9t\xc3\xa9", U'\u00e9'},
      {"\xe2\x82\xac", U'\u20ac'},
      {"\xf0\x9f\x98\x80x", U'\U0001F600'},
      {"\xf4\x8f\xbf\xbf", U'\U0010FFFF'},
      {std::string_view("\0b", 2), U'\0'},
  };
  for (auto [utf8, expected] : cases) {
    EXPECT_EQ(first_scalar(utf8), expected) << utf8;
  }
}

TEST(FirstScalar, RefusesTruncatedOrStrayBytes) {
  // Last three: an overlong form, a surrogate and a value past U+10FFFF.
  for (std::string_view bad :
       {"\xc3", "\xe2\x82", "\x80", "\xf0\x9f\x98", "\xe2x\x82", "\xe0\x80\x80", "\xed\xa0\x80", "\xf4\x90\x80\x80"}) {
    EXPECT_THROW(first_scalar(bad), InternalFailure);
  }
}

using Bytes = std::vector<uint8_t>;

TEST(IdTable, Int32EntriesAreLittleEndian) {
  const auto table = id_table_from_entries({{0x01, 0, 0, 0}, {0xFF, 0xFF, 0xFF, 0xFF}, {0x78, 0x56, 0x34, 0x12}});
  ASSERT_TRUE(table.has_value());
  EXPECT_EQ(table->mode, IdMode::Int32);
  EXPECT_EQ(table->int_ids, (std::vector<uint32_t>{1, 4294967295u, 0x12345678}));
  EXPECT_TRUE(table->uuids.empty());
}

TEST(IdTable, UuidEntriesAreCopied) {
  Bytes a(16), b(16, 0xAB);
  for (uint8_t k = 0; k < 16; ++k) a[k] = k;
  const auto table = id_table_from_entries({a, b});
  ASSERT_TRUE(table.has_value());
  EXPECT_EQ(table->mode, IdMode::Uuid);
  ASSERT_EQ(table->uuids.size(), 2u);
  EXPECT_EQ(Bytes(table->uuids[0].begin(), table->uuids[0].end()), a);
  EXPECT_EQ(Bytes(table->uuids[1].begin(), table->uuids[1].end()), b);
  EXPECT_TRUE(table->int_ids.empty());
}

TEST(IdTable, NoEntriesGiveEmptyUuidMode) {
  const auto table = id_table_from_entries({});
  ASSERT_TRUE(table.has_value());
  EXPECT_EQ(table->mode, IdMode::Uuid);
  EXPECT_TRUE(table->uuids.empty());
  EXPECT_TRUE(table->int_ids.empty());
}

TEST(IdTable, RefusesOtherSizes) {
  const std::vector<std::vector<Bytes>> cases = {
      {Bytes(4), Bytes(16)},  // mixed
      {Bytes(16), Bytes(4)},
      {Bytes(8)},
      {Bytes(0)},
      {Bytes(4), Bytes(4), Bytes(5)},
  };
  for (const auto& entries : cases) {
    const auto table = id_table_from_entries(entries);
    ASSERT_FALSE(table.has_value()) << entries.size() << " entries";
    EXPECT_EQ(table.error().type, ErrorType::ValueError);
    EXPECT_EQ(table.error().message, "video_index entries must be all 16 bytes (UUID) or all 4 bytes (int32)");
  }
}

PayloadTable table_of(const std::vector<std::optional<Payload>>& payloads) {
  PayloadTable table;
  for (const auto& p : payloads) push_payload(table, p ? std::optional(p->view()) : std::nullopt);
  return table;
}

// Two terms, ab and ac: ab names video 0 twice, ac video 1 once.
TEST(AssembleTrie, TwoTermsEndToEnd) {
  std::vector<uint32_t> shifts = {0, 1, 3, 3};
  std::vector<std::string> labels = {"", "a", "b", "c"};
  std::vector<uint32_t> transitions = {1, 2, 3};
  std::vector<std::optional<Payload>> payloads = {std::nullopt, std::nullopt, Payload{2, {0}, {2}},
                                                  Payload{1, {1}, {1}}};
  std::vector<Bytes> index = {{1, 0, 0, 0}, {2, 0, 0, 0}};

  ASSERT_TRUE(check_flat_arrays(shifts.size(), labels.size(), payloads.size(), transitions).has_value());
  std::vector<char32_t> scalars;
  for (const auto& label : labels) scalars.push_back(first_scalar(label));
  auto ids = id_table_from_entries(index);
  ASSERT_TRUE(ids.has_value());
  auto trie = assemble_trie(shifts, scalars, transitions, table_of(payloads), *std::move(ids), 10);
  ASSERT_TRUE(trie.has_value()) << trie.error().message;

  EXPECT_EQ(trie->node_shifts, shifts);
  EXPECT_EQ(trie->child_labels, (std::vector<char32_t>{U'\0', U'a', U'b', U'c'}));
  EXPECT_EQ(trie->child_transitions, transitions);
  EXPECT_EQ(trie->is_terminal, (std::vector<uint8_t>{0, 0, 1, 1}));
  EXPECT_EQ(trie->id_mode, IdMode::Int32);
  EXPECT_EQ(trie->video_int_ids, (std::vector<uint32_t>{1, 2}));
  EXPECT_TRUE(trie->video_uuids.empty());

  struct Expected {
    uint32_t total;
    std::vector<uint32_t> ids, counts;
  };
  const Expected expected[] = {{3, {0, 1}, {2, 1}}, {3, {0, 1}, {2, 1}}, {2, {0}, {2}}, {1, {1}, {1}}};
  ASSERT_EQ(trie->payloads.size(), 4u);
  for (std::size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(trie->payloads.has(i));
    const PayloadView v = trie->payloads.view(i);
    EXPECT_EQ(v.total, expected[i].total);
    EXPECT_EQ(std::vector<uint32_t>(v.video_ids.begin(), v.video_ids.end()), expected[i].ids);
    EXPECT_EQ(std::vector<uint32_t>(v.video_counts.begin(), v.video_counts.end()), expected[i].counts);
  }
}

TEST(AssembleTrie, EmptyInputGivesEmptyTrie) {
  auto trie = assemble_trie({}, {}, {}, PayloadTable{}, IdTable{}, 5);
  ASSERT_TRUE(trie.has_value()) << trie.error().message;
  EXPECT_EQ(trie->node_count(), 0u);
  EXPECT_EQ(trie->payloads.size(), 0u);
  EXPECT_EQ(trie->id_mode, IdMode::Uuid);
}

// A node reached twice is refused before propagation could double-count it.
TEST(AssembleTrie, RefusesEdgesThatAreNoTree) {
  const std::vector<std::optional<Payload>> payloads = {std::nullopt, Payload{1, {0}, {1}}};
  auto trie = assemble_trie({0, 2}, {U'\0', U'a'}, {1, 1}, table_of(payloads), IdTable{}, 5);
  ASSERT_FALSE(trie.has_value());
  EXPECT_EQ(trie.error().type, ErrorType::ValueError);
}

}  // namespace
}  // namespace corvalind
