#include <algorithm>
#include <cstdint>
#include <new>
#include <utility>
#include <vector>

#include "interrupt.h"
#include "prefix/trie/trie.h"

namespace corvalind {

namespace {

// Every node reachable from the root is visited after its children, so a
// child numbered below its parent is summarised before the parent reads it:
// the reverse of the breadth-first order from the root (edges to nodes
// already seen are not followed). The nodes the root does not reach follow
// from N-1 down to 0. In a trie check_trie accepts whose every edge leads
// to a higher number, each node still reads its children's finished
// summaries, as a plain descending visit would, so the result is the same.
// Returns all N nodes.
std::vector<uint32_t> visit_order(const Trie& trie, std::size_t n) {
  std::vector<uint8_t> seen(n, 0);
  std::vector<uint32_t> order;
  order.reserve(n);
  order.push_back(0);
  seen[0] = 1;
  const std::size_t edge_count = trie.child_transitions.size();
  InterruptPoll poll;
  for (std::size_t next = 0; next < order.size(); ++next) {
    const EdgeRange range = trie.edges(order[next]);
    const std::size_t end = std::min<std::size_t>(range.end, edge_count);
    poll.tick();
    for (std::size_t s = range.begin; s < end; ++s) {
      const uint32_t child = trie.child_transitions[s];
      if (child >= n || seen[child]) continue;
      seen[child] = 1;
      order.push_back(child);
    }
  }
  std::reverse(order.begin(), order.end());
  for (std::size_t i = n; i-- > 0;) {
    if (!seen[i]) order.push_back(static_cast<uint32_t>(i));
  }
  return order;
}

// The summaries made so far, appended in visit order to one scratch list:
// node i's entries sit at [begins[i], ends[i]) there once done[i] is set.
struct Summaries {
  Summaries(std::size_t n, std::size_t entries) : totals(n, 0), begins(n, 0), ends(n, 0), done(n, 0) {
    ids.reserve(entries);
    counts.reserve(entries);
  }

  PayloadView view(std::size_t node) const {
    const uint32_t begin = begins[node];
    const uint32_t count = ends[node] - begin;
    return PayloadView{totals[node], {ids.data() + begin, count}, {counts.data() + begin, count}};
  }

  std::vector<uint32_t> totals;
  std::vector<uint32_t> begins;
  std::vector<uint32_t> ends;
  std::vector<uint8_t> done;
  std::vector<uint32_t> ids;
  std::vector<uint32_t> counts;
};

// Appends node i's summary: its own entries merged with each child's,
// the summary for a child visited already, its input payload for any other,
// ranked and cut to video_top_n; a node that takes nothing from a child
// keeps its own entries in their order, cut only.
void summarise(const Trie& trie, const PayloadTable& in, uint32_t i, uint64_t video_top_n, VideoTally& tally,
               InterruptPoll& poll, Summaries& sums) {
  const std::size_t n = trie.node_count();
  const auto original = [&](std::size_t node) { return in.has(node) ? in.view(node) : PayloadView{}; };
  const PayloadView own = original(i);
  const EdgeRange range = trie.edges(i);
  const std::size_t end = std::min<std::size_t>(range.end, trie.child_transitions.size());
  uint32_t total = own.total;
  bool receiver = false;
  // Counted per edge: one node may list a long payload many times over.
  poll.tick(static_cast<int64_t>(own.video_ids.size()) + 1);
  for (std::size_t s = range.begin; s < end; ++s) {
    const uint32_t child = trie.child_transitions[s];
    if (child == i || child >= n) continue;
    if (!receiver) {
      tally.add(own.video_ids, own.video_counts);
      receiver = true;
    }
    const PayloadView from = sums.done[child] ? sums.view(child) : original(child);
    tally.add(from.video_ids, from.video_counts);
    total = saturating_add(total, from.total);
    poll.tick(static_cast<int64_t>(from.video_ids.size()) + 1);
  }
  sums.begins[i] = static_cast<uint32_t>(sums.ids.size());
  if (receiver) {
    tally.take_ranked(video_top_n, sums.ids, sums.counts);
  } else {
    // Never merged into: the producer's order stays, duplicates included.
    const auto kept = static_cast<std::ptrdiff_t>(std::min<uint64_t>(video_top_n, own.video_ids.size()));
    sums.ids.insert(sums.ids.end(), own.video_ids.begin(), own.video_ids.begin() + kept);
    sums.counts.insert(sums.counts.end(), own.video_counts.begin(), own.video_counts.begin() + kept);
  }
  // Offsets are 32-bit: a table past that cannot be held, like any allocation too large.
  if (sums.ids.size() > kMaxU32) throw std::bad_alloc();
  sums.totals[i] = total;
  sums.ends[i] = static_cast<uint32_t>(sums.ids.size());
  sums.done[i] = 1;
}

// The summaries of all n nodes as a table, every node present, the blocks
// copied in node order into lists allocated at their final size.
PayloadTable in_node_order(Summaries&& sums, std::size_t n) {
  PayloadTable out;
  out.present.assign(n, 1);
  out.totals = std::move(sums.totals);
  out.entry_offsets.assign(n + 1, 0);
  for (std::size_t i = 0; i < n; ++i) {
    out.entry_offsets[i + 1] = out.entry_offsets[i] + (sums.ends[i] - sums.begins[i]);
  }
  const uint32_t entries = out.entry_offsets[n];
  out.video_ids.resize(entries);
  out.video_counts.resize(entries);
  for (std::size_t i = 0; i < n; ++i) {
    const auto begin = sums.begins[i];
    const auto end = sums.ends[i];
    std::copy(sums.ids.begin() + begin, sums.ids.begin() + end, out.video_ids.begin() + out.entry_offsets[i]);
    std::copy(sums.counts.begin() + begin, sums.counts.begin() + end, out.video_counts.begin() + out.entry_offsets[i]);
  }
  return out;
}

}  // namespace

// A child visited already is read from the summaries, any other from the
// input table, which stays as it is until the end.
void Trie::propagate(uint64_t video_top_n) {
  const std::size_t n = node_count();
  if (n == 0) {
    payloads = PayloadTable{};
    return;
  }
  if (node_shifts.size() != n) throw InternalFailure("node_shifts does not match the node count");
  // Read through PayloadTable::view without bounds checks.
  if (payloads.size() != n) throw InternalFailure("payload table does not match the node count");
  if (auto fault = layout_fault(payloads)) throw InternalFailure("payload table: " + *fault);

  Summaries sums(n, payloads.video_ids.size());
  VideoTally tally;
  InterruptPoll poll;
  for (const uint32_t i : visit_order(*this, n)) summarise(*this, payloads, i, video_top_n, tally, poll, sums);
  payloads = in_node_order(std::move(sums), n);
}

}  // namespace corvalind
