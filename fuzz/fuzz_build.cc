// Flat arrays derived from the bytes go through the builder's core steps in
// the binding's order. An accepted trie must be fully propagated, match an
// independent subtree sum where one applies, round-trip as a snapshot and
// answer queries as the reference walk does. A refused one is propagated
// anyway: propagation must stay total over any node-indexed vectors.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "builder.h"
#include "check_queries.h"
#include "payloads.h"
#include "prefix/trie/trie.h"
#include "reference.h"

using namespace corvalind;

namespace {

constexpr std::size_t kMaxNodes = 48;
constexpr std::size_t kMaxEntries = 24;
constexpr std::size_t kMaxVideos = 40;

// Mostly a few small values so that videos repeat; sometimes anything.
uint32_t small_or_any(FuzzedDataProvider& in, uint32_t small_bound) {
  return in.ConsumeBool() ? in.ConsumeIntegralInRange<uint32_t>(0, small_bound) : in.ConsumeIntegral<uint32_t>();
}

// A label as the binding receives it: valid UTF-8 of 0 to 3 scalars, drawn
// from a small alphabet with scalars of every UTF-8 width.
std::string label_text(FuzzedDataProvider& in) {
  static constexpr char32_t kAlphabet[] = {U'\0', U'a', U'b', U'c', U'\u00e9', U'\u4e2d', U'\U0001F600'};
  std::u32string scalars(in.ConsumeIntegralInRange<std::size_t>(0, 3), U'\0');
  for (char32_t& c : scalars) c = kAlphabet[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kAlphabet) - 1)];
  return reference::to_utf8(scalars);
}

// A node-indexed length: usually n, sometimes one off to reach the length checks.
std::size_t node_len(FuzzedDataProvider& in, std::size_t n) {
  switch (in.ConsumeIntegralInRange<int>(0, 15)) {
    case 0: return n + 1;
    case 1: return n == 0 ? 0 : n - 1;
    default: return n;
  }
}

// After propagation: every payload present, at most video_top_n entries,
// offsets consistent with the entry lists.
void check_propagated(const Trie& trie, uint64_t video_top_n) {
  const PayloadTable& p = trie.payloads;
  const std::size_t n = trie.node_count();
  fuzzing::require(p.size() == n && p.totals.size() == n, "propagated table has the wrong node count");
  fuzzing::require(p.entry_offsets.size() == (n == 0 ? 0 : n + 1), "propagated offsets have the wrong length");
  fuzzing::require(p.video_ids.size() == p.video_counts.size(), "propagated lists differ in length");
  for (std::size_t i = 0; i < n; ++i) {
    fuzzing::require(p.has(i), "a payload is absent after propagation");
    fuzzing::require(p.entry_offsets[i] <= p.entry_offsets[i + 1], "propagated offsets decrease");
    fuzzing::require(p.entry_offsets[i + 1] - p.entry_offsets[i] <= video_top_n, "a list exceeds video_top_n");
  }
  if (n > 0) fuzzing::require(p.entry_offsets[n] == p.video_ids.size(), "propagated offsets miss entries");
}

// When no list was cut, a node holds its own total plus its children's,
// saturated, and: with no children, its own entries unchanged; otherwise one
// entry per video of its subtree carrying the summed, saturated count,
// highest first. Checked for every node of the root's tree, whatever the
// numbering, and, when every edge leads to a higher-numbered node, for the
// other nodes too.
void check_subtree_sums(const Trie& built, const PayloadTable& own, uint64_t video_top_n) {
  const std::size_t n = built.node_count();
  if (video_top_n < own.video_ids.size() || n == 0) return;
  bool ascending = true;
  for (uint32_t i = 0; i < n; ++i) {
    const EdgeRange range = built.edges(i);
    for (uint32_t j = range.begin; j < range.end; ++j) ascending = ascending && built.child_transitions[j] > i;
  }
  std::vector<uint64_t> total(n);
  std::vector<std::map<uint32_t, uint64_t>> sums(n);
  // REQUIRES: every child of i summed already.
  const auto check_node = [&](uint32_t i) {
    if (own.has(i)) {
      const PayloadView view = own.view(i);
      total[i] = view.total;
      for (std::size_t k = 0; k < view.video_ids.size(); ++k) {
        uint64_t& sum = sums[i][view.video_ids[k]];
        sum = std::min<uint64_t>(sum + view.video_counts[k], kMaxU32);
      }
    }
    const EdgeRange range = built.edges(i);
    for (uint32_t j = range.begin; j < range.end; ++j) {
      const uint32_t child = built.child_transitions[j];
      // Saturating at every step gives the same result in any order and
      // keeps shared children (a node may have several parents outside
      // the root's tree) from overflowing.
      total[i] = std::min<uint64_t>(total[i] + total[child], kMaxU32);
      for (const auto& [video, sum] : sums[child]) sums[i][video] = std::min<uint64_t>(sums[i][video] + sum, kMaxU32);
    }
    const PayloadView got = built.payloads.view(i);
    fuzzing::require(got.total == total[i], "total is not the saturated subtree sum");
    if (range.end <= range.begin) {
      const PayloadView mine = own.has(i) ? own.view(i) : PayloadView{};
      fuzzing::require(std::ranges::equal(got.video_ids, mine.video_ids) &&
                           std::ranges::equal(got.video_counts, mine.video_counts),
                       "a node without children changed its entries");
      return;
    }
    std::map<uint32_t, uint64_t> listed;
    for (std::size_t k = 0; k < got.video_ids.size(); ++k) {
      fuzzing::require(k == 0 || got.video_counts[k - 1] >= got.video_counts[k], "entries not ranked by count");
      fuzzing::require(listed.emplace(got.video_ids[k], got.video_counts[k]).second, "a video is listed twice");
    }
    fuzzing::require(listed.size() == sums[i].size(), "merged list misses or adds videos");
    for (const auto& [video, sum] : sums[i]) {
      const auto it = listed.find(video);
      fuzzing::require(it != listed.end() && it->second == sum,
                       "merged count is not the saturated subtree sum");
    }
  };
  // The root's tree (check_trie accepted it) in post-order.
  std::vector<uint8_t> checked(n, 0);
  const auto post_order = [&](const auto& self, uint32_t i) -> void {
    const EdgeRange range = built.edges(i);
    for (uint32_t j = range.begin; j < range.end; ++j) self(self, built.child_transitions[j]);
    check_node(i);
    checked[i] = 1;
  };
  post_order(post_order, 0);
  if (!ascending) return;
  for (std::size_t i = n; i-- > 0;) {
    if (!checked[i]) check_node(static_cast<uint32_t>(i));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size > fuzzing::kMaxInputBytes) return -1;
  FuzzedDataProvider in(data, size);

  const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(0, kMaxNodes);
  const std::size_t edges = in.ConsumeIntegralInRange<std::size_t>(0, 2 * kMaxNodes);
  const uint64_t video_top_n = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint64_t>(0, kMaxVideos)
                                                : in.ConsumeIntegral<uint64_t>();

  std::vector<uint32_t> node_shifts(node_len(in, n));
  for (uint32_t& shift : node_shifts) shift = in.ConsumeIntegralInRange<uint32_t>(0, static_cast<uint32_t>(edges) + 1);
  std::vector<char32_t> labels(n);
  for (char32_t& label : labels) {
    const std::string text = label_text(in);
    label = first_scalar(text);
    const std::u32string scalars = reference::to_scalars(text);
    fuzzing::require(label == (scalars.empty() ? U'\0' : scalars[0]), "first_scalar is not the first scalar");
  }
  PayloadTable payloads;
  const std::size_t payload_count = node_len(in, n);
  for (std::size_t i = 0; i < payload_count; ++i) {
    if (!in.ConsumeBool()) {
      push_payload(payloads, std::nullopt);
      continue;
    }
    Payload payload{small_or_any(in, 20), {}, {}};
    for (std::size_t k = in.ConsumeIntegralInRange<std::size_t>(0, kMaxEntries); k > 0; --k) {
      payload.video_ids.push_back(small_or_any(in, kMaxVideos));
      payload.video_counts.push_back(small_or_any(in, 20));
    }
    push_payload(payloads, payload.view());
  }
  std::vector<uint32_t> child_transitions(edges);
  for (uint32_t& target : child_transitions) target = in.ConsumeIntegralInRange<uint32_t>(0, static_cast<uint32_t>(n));
  std::vector<std::vector<uint8_t>> video_index(in.ConsumeIntegralInRange<std::size_t>(0, kMaxVideos));
  const std::size_t id_size = in.ConsumeBool() ? 4 : 16;
  for (std::vector<uint8_t>& entry : video_index) {
    entry = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<int>(0, 15) == 0 ? 8 : id_size);
  }

  Result<IdTable> ids = id_table_from_entries(video_index);

  // The fields assemble_trie puts together, kept for the checks.
  Trie raw;
  raw.node_shifts = node_shifts;
  raw.child_labels = labels;
  raw.child_transitions = child_transitions;
  raw.is_terminal = payloads.present;
  raw.payloads = payloads;
  if (ids) {
    raw.video_uuids = ids->uuids;
    raw.video_int_ids = ids->int_ids;
    raw.id_mode = ids->mode;
  }
  // Propagation must stay total over any trie whose node-indexed vectors
  // have N entries, whatever its edges: self-edges, repeated or
  // out-of-range targets, ranges past the end or reversed.
  const auto propagate_refused = [&] {
    if (raw.node_shifts.size() != n || raw.payloads.size() != n) return 0;
    raw.propagate(video_top_n);
    check_propagated(raw, video_top_n);
    return 0;
  };

  if (!check_flat_arrays(node_shifts.size(), labels.size(), payloads.size(), child_transitions) || !ids) {
    return propagate_refused();
  }
  Result<FinishedTrie> built = assemble_trie(std::move(node_shifts), std::move(labels), std::move(child_transitions),
                                             std::move(payloads), std::move(*ids), video_top_n);
  if (!built) {
    fuzzing::require(!check_trie(raw), "assemble_trie refused a trie that check_trie accepts");
    return propagate_refused();
  }
  fuzzing::require(built->is_terminal == raw.is_terminal, "terminal flags changed");
  check_propagated(*built, video_top_n);
  check_subtree_sums(*built, raw.payloads, video_top_n);
  fuzzing::check_round_trip(*built);

  const std::vector<uint8_t> rest = in.ConsumeRemainingBytes<uint8_t>();
  const std::span<const uint8_t> choices(rest);
  fuzzing::check_queries(*built, fuzzing::derive_queries(*built, choices, choices.last(std::min<std::size_t>(rest.size(), 12))),
                         video_top_n % 4, 0xFFFFFFFFu);
  return 0;
}
