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

// [(term, 1, distance), ...] of fuzzy_match (a new reference). Polls for
// interrupts as it goes; throws as require() does.
PyObject* term_match_list(const Trie& trie, const std::vector<MatchResult>& matches);

// [(external id, score), ...] of fuzzy_match_video (a new reference).
PyObject* video_score_list(const std::vector<VideoScore>& scores);

}  // namespace corvalind::binding
