#include "prefix/matcher/matcher.h"

#include <algorithm>
#include <limits>
#include <span>

#include "interrupt.h"
#include "prefix/matcher/forward_backward.h"
#include "prefix/matcher/walk.h"
#include "utf8.h"

namespace corvalind {
namespace {

// The matches of a search, whichever way it runs: the forward-backward
// search for the terminal-only searches it serves, the walk from the root
// otherwise. Calls sink(node, distance, term) for each match in walk order,
// `term` its UTF-8 text when with_text, else empty, and stops after the
// limit-th (a limit of 0 behaves like 1).
template <class Sink>
void search(const FinishedTrie& trie, std::string_view term, uint32_t max_dist, std::optional<uint64_t> limit,
            bool terminal_only, bool with_text, Sink sink) {
  if (trie.node_count() == 0) return;
  require_finished(trie);
  // Every node is within max_depth scalars of the root, so a query longer
  // than max_depth + max_dist is further than max_dist from all of them.
  // A scalar takes at least one byte: most queries need no count.
  const uint64_t longest_match = uint64_t{trie.max_depth} + max_dist;
  if (term.size() > longest_match && scalar_count(term) > longest_match) return;
  const std::u32string q = decode_utf8(term);
  const uint64_t wanted = limit ? std::max<uint64_t>(*limit, 1) : std::numeric_limits<uint64_t>::max();
  const ForwardBackwardIndex* index = nullptr;
  if (terminal_only && forward_backward_serves(q.size(), max_dist)) index = trie.forward_backward->get(trie);
  if (index != nullptr) {
    std::vector<TermHit> hits = forward_backward_search(trie, *index, q, max_dist, with_text);
    const std::size_t kept = std::min<uint64_t>(wanted, hits.size());
    for (std::size_t i = 0; i < kept; ++i) sink(hits[i].node, hits[i].distance, std::move(hits[i].term));
    return;
  }
  uint64_t found = 0;
  InterruptPoll poll;
  detail::walk_from_root(trie, q, max_dist, terminal_only,
                         [&](uint32_t node, uint32_t distance, std::span<const char32_t> path) {
                           if (with_text) {
                             // The text costs its length: on a deep trie it is most of the work.
                             poll.tick(static_cast<int64_t>(path.size() / 8));
                             sink(node, distance, utf8_text(path));
                           } else {
                             sink(node, distance, std::string());
                           }
                           return ++found >= wanted;
                         });
}

}  // namespace

std::vector<MatchResult> fuzzy_match(const FinishedTrie& trie, std::string_view term, uint32_t max_dist,
                                     std::optional<uint64_t> limit) {
  std::vector<MatchResult> matches;
  search(trie, term, max_dist, limit, true, true, [&](uint32_t node, uint32_t distance, std::string&& text) {
    matches.push_back({std::move(text), node, distance});
  });
  return matches;
}

std::vector<NodeMatch> fuzzy_match_nodes(const FinishedTrie& trie, std::string_view term, uint32_t max_dist,
                                         std::optional<uint64_t> limit, bool terminal_only) {
  std::vector<NodeMatch> matches;
  search(trie, term, max_dist, limit, terminal_only, false,
         [&](uint32_t node, uint32_t distance, std::string&&) { matches.push_back({node, distance}); });
  return matches;
}

}  // namespace corvalind
