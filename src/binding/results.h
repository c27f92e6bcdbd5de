// The lists the query methods return, built from the core's answers: one
// builder per method, shared by PrefixSearch and the batch of the native
// companion so that both give exactly the same objects.
#pragma once

#include <Python.h>

#include <vector>

#include "prefix/matcher/matcher.h"
#include "prefix/trie/trie.h"
#include "video_query.h"

namespace corvalind::binding {

// The (term, 1, distance) tuples of one trie's nodes, kept for reuse across
// the queries of a batch: terms recur from query to query, and sharing the
// immutable tuple costs a reference where making it decodes the text and
// allocates twice. One slot per node (12 bytes), holding the tuple of the
// distance last seen there. Needs the interpreter lock throughout.
class TermTupleCache {
 public:
  explicit TermTupleCache(std::size_t nodes);
  ~TermTupleCache();
  TermTupleCache(const TermTupleCache&) = delete;
  TermTupleCache& operator=(const TermTupleCache&) = delete;

  // A new reference to the tuple of `match`, made on first need.
  PyObject* tuple(const Trie& trie, const MatchResult& match);

 private:
  std::vector<PyObject*> tuples_;
  std::vector<uint32_t> distances_;
};

// [(term, 1, distance), ...] of fuzzy_match (a new reference), its tuples
// taken from `cache` when one is given. Polls for interrupts as it goes;
// throws as require() does.
PyObject* term_match_list(const Trie& trie, const std::vector<MatchResult>& matches,
                          TermTupleCache* cache = nullptr);

// [(external id, score), ...] of fuzzy_match_video (a new reference).
PyObject* video_score_list(const std::vector<VideoScore>& scores);

}  // namespace corvalind::binding
