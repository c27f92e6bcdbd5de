// Trie: the whole state of one PrefixSearch object.
//
// Nodes are numbered 0..N-1 (0 is the root). Per-node facts live at the node
// number in parallel vectors; the outgoing edges of all nodes lie in one
// shared vector grouped by source node: node i owns the positions
// node_shifts[i] .. end(i) of child_transitions, where end(i) is
// node_shifts[i+1], or the edge count for the last node. An edge leads to
// child_transitions[j] and carries the label of that target node.
//
// Payload entries of all nodes are stored in flat arrays with per-node
// offsets, so a node costs a few fixed-size words instead of two heap vectors.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <vector>

#include "error.h"
#include "payload/payload.h"
#include "payload/payload_table.h"
#include "prefix/trie/forward_backward_index.h"

namespace corvalind {

enum class IdMode : uint32_t { Uuid = 0, Int32 = 1 };

using Uuid = std::array<uint8_t, 16>;

// First and one-past-last edge position of a node; empty when end <= begin.
struct EdgeRange {
  uint32_t begin;
  uint32_t end;
};

// The target's label, terminal flag and edge range, seen from the edge
// that leads to it.
struct WalkEdge {
  static constexpr uint32_t kManyEdges = 1023;
  uint32_t label : 21;       // child_labels[target], a Unicode scalar
  uint32_t terminal : 1;     // is_terminal[target]
  uint32_t edge_count : 10;  // the target's edges, or kManyEdges: look them up
  uint32_t first_edge;       // node_shifts[target]
};

struct Trie {
  std::vector<uint32_t> node_shifts;        // N
  std::vector<char32_t> child_labels;       // N; U+0000: the node carries no character
  std::vector<uint32_t> child_transitions;  // E: edge targets
  PayloadTable payloads;                    // N
  std::vector<Uuid> video_uuids;            // external ids in mode Uuid
  std::vector<uint32_t> video_int_ids;      // external ids in mode Int32
  IdMode id_mode = IdMode::Uuid;
  std::vector<uint8_t> is_terminal;         // N: 1 where a stored term ends
  // Derived, not in snapshots, and made by finish_trie alone, so a trie
  // that has them was checked. walk_edges has E entries: what the matchers'
  // walk reads of edge e, so that descending an edge reads the edge's own
  // entry and then the target's run of entries, nothing else.
  std::vector<WalkEdge> walk_edges;
  // Derived like walk_edges: the length of the longest path from the root
  // that enters no node labelled U+0000. No node the matchers see is
  // deeper, so a query longer than max_depth + max_dist matches nothing.
  uint32_t max_depth = 0;
  std::unique_ptr<LazyForwardBackwardIndex> forward_backward;  // built on first use

  std::size_t node_count() const { return child_labels.size(); }

  // REQUIRES: node < node_count() and node_shifts has node_count() entries.
  EdgeRange edges(uint32_t node) const {
    uint32_t end = node + 1 < node_shifts.size() ? node_shifts[node + 1]
                                                  : static_cast<uint32_t>(child_transitions.size());
    return {node_shifts[node], end};
  }

  // The edges of the target of edge `edge`, read from its walk entry.
  // REQUIRES: a finished trie, edge < walk_edges.size().
  EdgeRange edges_below(uint32_t edge) const {
    const WalkEdge down = walk_edges[edge];
    return down.edge_count == WalkEdge::kManyEdges ? edges(child_transitions[edge])
                                                   : EdgeRange{down.first_edge, down.first_edge + down.edge_count};
  }

  // Writes the snapshot: the eight fields in declared order, integers in
  // their shortest variable-length form. Sized first, allocated once.
  std::vector<uint8_t> encode() const;
  // The length of what encode() writes, without writing it.
  std::size_t encoded_size() const;

  // Reads a snapshot and refuses one that is unreadable ("decode error: ..."
  // with the DecodeError rendering) or that describes a malformed trie
  // (check_trie's message); returns it finished. Bytes after the snapshot
  // are ignored.
  static Result<Trie> decode(std::span<const uint8_t> bytes);

  // Replaces every node's payload by the summary of its subtree: own entries
  // plus the (already cut) entries of its children, counts summed per video,
  // ranked and cut to video_top_n; totals summed with saturation. The nodes
  // the root reaches are visited children first (reverse breadth-first
  // order), whatever their numbers, then every other node from N-1 down to
  // 0. A node with no edge to another node keeps its entries in the given
  // order (cut only). Absent payloads become empty ones. Total over any trie
  // whose node-indexed vectors have N entries: edge ranges past
  // child_transitions and targets >= N are ignored; a child not yet visited
  // (a cycle, or a node outside the root's tree) is read as given. Throws
  // Interrupted when the interrupt check asks (interrupt.h).
  void propagate(uint64_t video_top_n);
};

// Checks the invariants every reader relies on, so that queries can index
// without bounds checks: node-indexed vectors of equal length, edge targets
// below N, edge ranges inside child_transitions, payload offsets consistent,
// id_mode agreeing with the filled id table, and the edges reachable from
// the root forming a tree (no node reached twice, the root never a target).
// Returns a ValueError naming the first offending field and position.
std::expected<void, Error> check_trie(const Trie& trie);

// The one way to a trie that readers accept: refuses it as check_trie does,
// else fills walk_edges and max_depth and makes the holder of the
// forward-backward index.
Result<Trie> finish_trie(Trie trie);

// Throws InternalFailure unless `trie` came from finish_trie (the walk
// reads it without bounds checks).
void require_finished(const Trie& trie);

}  // namespace corvalind
