#include <algorithm>
#include <new>

#include "prefix/trie/trie.h"

namespace corvalind {

namespace {

// Propagation reads payloads through PayloadTable::view without bounds checks,
// so the table must hold one slot per node with offsets inside its lists.
void require_consistent(const PayloadTable& table, std::size_t n) {
  const bool sized = table.present.size() == n && table.totals.size() == n &&
                     table.entry_offsets.size() == n + 1 &&
                     table.video_ids.size() == table.video_counts.size();
  if (!sized) throw InternalFailure("payload table does not match the node count");
  for (std::size_t i = 0; i < n; ++i) {
    if (table.entry_offsets[i] > table.entry_offsets[i + 1]) {
      throw InternalFailure("payload table offsets decrease");
    }
  }
  if (table.entry_offsets[n] > table.video_ids.size()) {
    throw InternalFailure("payload table offsets pass its entries");
  }
}

}  // namespace

// Nodes are visited from N-1 down to 0 and each result is appended to one
// scratch list, so node i's entries sit at [ends[i+1], ends[i]) with
// ends[N] = 0. A child above i is read from there, a child below i from the
// input table (it is not visited yet). At the end the blocks are copied in
// node order into lists allocated at their final size, where node i starts at
// S - ends[i], S being the number of entries.
void Trie::propagate(uint64_t video_top_n) {
  const std::size_t n = node_count();
  if (n == 0) {
    payloads = PayloadTable{};
    return;
  }
  if (node_shifts.size() != n) throw InternalFailure("node_shifts does not match the node count");
  const PayloadTable& in = payloads;
  require_consistent(in, n);

  PayloadTable out;
  out.present.assign(n, 1);
  out.totals.assign(n, 0);
  out.entry_offsets.assign(n + 1, 0);
  std::vector<uint32_t>& ends = out.entry_offsets;
  std::vector<uint32_t> ids;
  std::vector<uint32_t> counts;
  ids.reserve(in.video_ids.size());
  counts.reserve(in.video_counts.size());

  const auto original = [&](std::size_t node) { return in.has(node) ? in.view(node) : PayloadView{}; };
  const auto visited = [&](std::size_t node) {
    const uint32_t begin = ends[node + 1];
    const uint32_t count = ends[node] - begin;
    return PayloadView{out.totals[node], {ids.data() + begin, count}, {counts.data() + begin, count}};
  };

  VideoTally tally;
  const std::size_t edge_count = child_transitions.size();
  for (std::size_t i = n; i-- > 0;) {
    const PayloadView own = original(i);
    const EdgeRange range = edges(static_cast<uint32_t>(i));
    const std::size_t end = std::min<std::size_t>(range.end, edge_count);
    uint32_t total = own.total;
    bool receiver = false;
    for (std::size_t s = range.begin; s < end; ++s) {
      const uint32_t child = child_transitions[s];
      if (child == i || child >= n) continue;
      if (!receiver) {
        tally.add(own.video_ids, own.video_counts);
        receiver = true;
      }
      const PayloadView from = child > i ? visited(child) : original(child);
      tally.add(from.video_ids, from.video_counts);
      total = saturating_add(total, from.total);
    }
    if (receiver) {
      tally.take_ranked(video_top_n, ids, counts);
    } else {
      // Never merged into: the producer's order stays, duplicates included.
      const auto kept = static_cast<std::ptrdiff_t>(std::min<uint64_t>(video_top_n, own.video_ids.size()));
      ids.insert(ids.end(), own.video_ids.begin(), own.video_ids.begin() + kept);
      counts.insert(counts.end(), own.video_counts.begin(), own.video_counts.begin() + kept);
    }
    // Offsets are 32-bit: a table past that cannot be held, like any allocation too large.
    if (ids.size() > kMaxU32) throw std::bad_alloc();
    out.totals[i] = total;
    ends[i] = static_cast<uint32_t>(ids.size());
  }

  const uint32_t entries = ends[0];
  out.video_ids.resize(entries);
  out.video_counts.resize(entries);
  for (std::size_t i = 0; i < n; ++i) {
    const uint32_t from = ends[i + 1];
    const uint32_t to = entries - ends[i];
    std::copy(ids.begin() + from, ids.begin() + ends[i], out.video_ids.begin() + to);
    std::copy(counts.begin() + from, counts.begin() + ends[i], out.video_counts.begin() + to);
  }
  for (uint32_t& offset : ends) offset = entries - offset;
  payloads = std::move(out);
}

}  // namespace corvalind
