#include "prefix/matcher/matcher.h"

#include <algorithm>
#include <span>

#include "interrupt.h"
#include "prefix/matcher/forward_backward.h"
#include "prefix/matcher/walk.h"
#include "utf8.h"

namespace corvalind {
namespace {

// The matches of a search, whichever way it runs: the forward-backward
// search for the terminal-only searches it serves (its hits, in walk order,
// cut to the first `limit`, as the walk's stop after the limit-th match
// leaves them), the walk from the root otherwise. on_hit(hit) takes each
// forward-backward hit; on_match(node, distance, path) each match of the
// walk and returns true to stop it.
template <class OnHit, class OnMatch>
void search(const Trie& trie, std::string_view term, uint32_t max_dist, std::optional<uint64_t> limit,
            bool terminal_only, bool with_text, OnHit on_hit, OnMatch on_match) {
  if (trie.node_count() == 0) return;
  require_finished(trie);
  // Every node is within max_depth scalars of the root, so a query longer
  // than max_depth + max_dist is further than max_dist from all of them.
  // A scalar takes at least one byte: most queries need no count.
  const uint64_t longest_match = uint64_t{trie.max_depth} + max_dist;
  if (term.size() > longest_match && scalar_count(term) > longest_match) return;
  const std::u32string q = decode_utf8(term);
  const ForwardBackwardIndex* index = nullptr;
  if (terminal_only && forward_backward_serves(q.size(), max_dist)) index = trie.forward_backward->get(trie);
  if (index != nullptr) {
    std::vector<TermHit> hits = forward_backward_search(trie, *index, q, max_dist, with_text);
    const std::size_t kept = limit ? std::min<uint64_t>(std::max<uint64_t>(*limit, 1), hits.size()) : hits.size();
    for (std::size_t i = 0; i < kept; ++i) on_hit(hits[i]);
    return;
  }
  detail::walk_from_root(trie, q, max_dist, terminal_only, on_match);
}

}  // namespace

std::vector<MatchResult> fuzzy_match(const Trie& trie, std::string_view term, uint32_t max_dist,
                                     std::optional<uint64_t> limit) {
  std::vector<MatchResult> matches;
  InterruptPoll poll;
  search(
      trie, term, max_dist, limit, true, true,
      [&](TermHit& hit) { matches.push_back({std::move(hit.term), hit.node, hit.distance}); },
      [&](uint32_t node, uint32_t distance, std::span<const char32_t> path) {
        // The text costs its length: on a deep trie it is most of the work.
        poll.tick(static_cast<int64_t>(path.size() / 8));
        matches.push_back({utf8_text(path), node, distance});
        return limit && matches.size() >= *limit;
      });
  return matches;
}

std::vector<NodeMatch> fuzzy_match_nodes(const Trie& trie, std::string_view term, uint32_t max_dist,
                                         std::optional<uint64_t> limit, bool terminal_only) {
  std::vector<NodeMatch> matches;
  search(
      trie, term, max_dist, limit, terminal_only, false,
      [&](const TermHit& hit) { matches.push_back({hit.node, hit.distance}); },
      [&](uint32_t node, uint32_t distance, std::span<const char32_t>) {
        matches.push_back({node, distance});
        return limit && matches.size() >= *limit;
      });
  return matches;
}

}  // namespace corvalind
