// Times the term search three ways: the plain full-row walk, the shipped
// walk from the root, and the forward-backward search that fuzzy_match runs
// at max_dist 1 and 2.
//
// Builds a trie of the words of a file (one per line; default
// /usr/share/dict/american-english), numbered breadth first like the Python
// producer does, makes seeded misspellings of its words in three length
// buckets and times the three on them at max_dist 1 and 2, interleaved,
// after checking that all give the same matches in the same order. The
// full-row walk computes every n + 1 cells of a row for each visited node
// and reads the label at the target node. Also prints what the
// forward-backward index costs to build and to keep.
//
// Build and run (Release):
//   cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DCORVALIND_BUILD_BENCH=ON
//         -DCORVALIND_BUILD_EXTENSION=OFF
//   cmake --build build/bench --target walk_baseline
//   build/bench/walk_baseline [WORD_FILE [QUERIES [REPEATS]]]
// Times are the best of REPEATS passes (default 5) over QUERIES misspellings
// (default 1000) per set, in CPU time of the thread.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "builder.h"
#include "payloads.h"
#include "prefix/matcher/forward_backward.h"
#include "prefix/matcher/matcher.h"
#include "prefix/matcher/walk.h"
#include "prefix/trie/forward_backward_index.h"
#include "prefix/trie/trie.h"
#include "reference.h"

namespace corvalind {
namespace {

using reference::to_scalars;
using reference::to_utf8;

// Breadth-first trie of sorted distinct words: a node is the run of words
// sharing its path string, its children the runs that continue it, in
// scalar order. Every word ends at a terminal node with a payload of total 1.
Trie build_trie(std::vector<std::u32string> words) {
  std::sort(words.begin(), words.end());
  words.erase(std::unique(words.begin(), words.end()), words.end());
  struct Run {
    std::size_t begin, end, depth;
  };
  std::vector<Run> runs = {{0, words.size(), 0}};
  std::vector<uint32_t> node_shifts;
  std::vector<char32_t> child_labels = {U'\0'};
  std::vector<uint32_t> child_transitions;
  PayloadTable payloads;
  for (std::size_t node = 0; node < runs.size(); ++node) {
    auto [begin, end, depth] = runs[node];
    node_shifts.push_back(static_cast<uint32_t>(child_transitions.size()));
    const bool terminal = begin < end && words[begin].size() == depth;
    push_payload(payloads, terminal ? std::optional(PayloadView{1, {}, {}}) : std::nullopt);
    for (std::size_t i = begin + (terminal ? 1 : 0); i < end;) {
      const char32_t c = words[i][depth];
      std::size_t j = i;
      while (j < end && words[j][depth] == c) ++j;
      child_transitions.push_back(static_cast<uint32_t>(runs.size()));
      child_labels.push_back(c);
      runs.push_back({i, j, depth + 1});
      i = j;
    }
  }
  Result<Trie> trie = assemble_trie(std::move(node_shifts), std::move(child_labels), std::move(child_transitions),
                                    std::move(payloads), IdTable{}, 0);
  if (!trie) {
    std::fprintf(stderr, "assemble_trie: %s\n", trie.error().message.c_str());
    std::exit(1);
  }
  return std::move(*trie);
}

// The walk as first described: recursion, one full row of n + 1 cells per
// visited node, the label read at the target node.
struct FullRowWalk {
  const Trie& trie;
  std::u32string_view q;
  uint16_t max_dist;
  std::vector<std::vector<uint16_t>> rows;
  std::u32string prefix;
  std::vector<MatchResult> results;
  uint64_t visited = 0;

  void dfs(uint32_t node, std::size_t depth) {
    const EdgeRange edges = trie.edges(node);
    for (uint32_t e = edges.begin; e < edges.end; ++e) {
      const uint32_t child = trie.child_transitions[e];
      const char32_t c = trie.child_labels[child];
      if (c == U'\0') continue;
      ++visited;
      const std::vector<uint16_t>& prev = rows[depth];
      std::vector<uint16_t>& cur = rows[depth + 1];
      cur[0] = static_cast<uint16_t>(depth + 1);
      uint16_t row_min = cur[0];
      for (std::size_t j = 1; j <= q.size(); ++j) {
        cur[j] = std::min({static_cast<uint16_t>(prev[j] + 1), static_cast<uint16_t>(cur[j - 1] + 1),
                           static_cast<uint16_t>(prev[j - 1] + (q[j - 1] == c ? 0 : 1))});
        row_min = std::min(row_min, cur[j]);
      }
      if (row_min > max_dist) continue;
      prefix.push_back(c);
      if (cur[q.size()] <= max_dist && trie.is_terminal[child]) {
        results.push_back({to_utf8(prefix), child, cur[q.size()]});
      }
      dfs(child, depth + 1);
      prefix.pop_back();
    }
  }
};

struct Baseline {
  std::vector<MatchResult> results;
  uint64_t visited;
};

Baseline full_row_match(const Trie& trie, std::string_view term, uint16_t max_dist) {
  const std::u32string q = to_scalars(term);
  FullRowWalk walk{trie, q, max_dist, {}, {}, {}};
  walk.rows.assign(q.size() + max_dist + 2, std::vector<uint16_t>(q.size() + 1));
  for (std::size_t j = 0; j <= q.size(); ++j) walk.rows[0][j] = static_cast<uint16_t>(j);
  walk.dfs(0, 0);
  return {std::move(walk.results), walk.visited};
}

// Words with one or two random edits (substitution, insertion, deletion or
// a swap of neighbours), `min_length` to `max_length` scalars long before
// and after.
std::vector<std::string> misspellings(const std::vector<std::u32string>& words, std::size_t min_length,
                                      std::size_t max_length, std::size_t count, uint32_t seed) {
  std::vector<const std::u32string*> pool;
  for (const std::u32string& w : words) {
    if (w.size() >= min_length && w.size() <= max_length) pool.push_back(&w);
  }
  std::mt19937 rng(seed);
  const auto below = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); };
  const auto letter = [&] { return static_cast<char32_t>(U'a' + below(26)); };
  std::vector<std::string> queries;
  while (queries.size() < count) {
    std::u32string w = *pool[below(pool.size())];
    for (std::size_t edits = 1 + below(2); edits > 0; --edits) {
      const std::size_t at = below(w.size());
      switch (below(4)) {
        case 0: w[at] = letter(); break;
        case 1: w.insert(w.begin() + static_cast<std::ptrdiff_t>(at), letter()); break;
        case 2: if (w.size() > 1) w.erase(at, 1); break;
        default: if (at + 1 < w.size()) std::swap(w[at], w[at + 1]); break;
      }
    }
    if (w.size() >= min_length && w.size() <= max_length) queries.push_back(to_utf8(w));
  }
  return queries;
}

bool same(const std::vector<MatchResult>& a, const std::vector<MatchResult>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const MatchResult& x, const MatchResult& y) {
    return x.term == y.term && x.node == y.node && x.distance == y.distance;
  });
}

// CPU time of this thread: other processes on a shared machine take turns
// with it, which wall time would count.
double cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The shipped walk from the root alone, as fuzzy_match runs it for the
// searches the forward-backward index does not serve.
std::vector<MatchResult> walk_match(const Trie& trie, std::string_view term, uint32_t max_dist) {
  std::vector<MatchResult> matches;
  const std::u32string q = to_scalars(term);
  detail::walk_from_root(trie, q, max_dist, true, [&](uint32_t node, uint32_t distance, std::span<const char32_t> path) {
    matches.push_back({to_utf8(std::u32string(path.begin(), path.end())), node, distance});
    return false;
  });
  return matches;
}

std::vector<MatchResult> forward_backward_match(const Trie& trie, const ForwardBackwardIndex& index,
                                                std::string_view term, uint32_t max_dist, uint64_t* visited) {
  std::vector<MatchResult> matches;
  for (TermHit& hit : forward_backward_search(trie, index, to_scalars(term), max_dist, true, visited)) {
    matches.push_back({std::move(hit.term), hit.node, hit.distance});
  }
  return matches;
}

// Checks the three on every query, then times each over the whole set
// `repeats` times, interleaved, and keeps each one's best pass. Returns
// false on a mismatch.
bool compare(const Trie& trie, const ForwardBackwardIndex& index, const char* label,
             const std::vector<std::string>& queries, uint16_t max_dist, int repeats) {
  uint64_t visited = 0;
  uint64_t visited_fb = 0;
  for (const std::string& query : queries) {
    Baseline base = full_row_match(trie, query, max_dist);
    visited += base.visited;
    if (!same(base.results, walk_match(trie, query, max_dist)) ||
        !same(base.results, forward_backward_match(trie, index, query, max_dist, &visited_fb)) ||
        !same(base.results, fuzzy_match(trie, query, max_dist, std::nullopt))) {
      std::printf("MISMATCH on '%s' at max_dist %u\n", query.c_str(), max_dist);
      return false;
    }
  }
  double best_base = 1e30;
  double best_walk = 1e30;
  double best_fb = 1e30;
  std::size_t sink = 0;
  for (int r = 0; r < repeats; ++r) {
    double start = cpu_seconds();
    for (const std::string& query : queries) sink += full_row_match(trie, query, max_dist).results.size();
    best_base = std::min(best_base, cpu_seconds() - start);
    start = cpu_seconds();
    for (const std::string& query : queries) sink += walk_match(trie, query, max_dist).size();
    best_walk = std::min(best_walk, cpu_seconds() - start);
    start = cpu_seconds();
    for (const std::string& query : queries) sink += forward_backward_match(trie, index, query, max_dist, nullptr).size();
    best_fb = std::min(best_fb, cpu_seconds() - start);
  }
  const double n = static_cast<double>(queries.size());
  std::printf("%-13s max_dist %u | full row %8.2f us/query | walk %7.0f nodes/query %7.2f us/query | "
              "forward-backward %6.0f nodes/query %6.2f us/query | walk/full row %5.2fx, fb/walk %5.2fx  "
              "(%zu matches)\n",
              label, max_dist, best_base * 1e6 / n, static_cast<double>(visited) / n, best_walk * 1e6 / n,
              static_cast<double>(visited_fb) / n, best_fb * 1e6 / n, best_base / best_walk, best_walk / best_fb,
              sink / (3 * static_cast<std::size_t>(repeats)));
  return true;
}

template <class T>
double bytes_per_node(const std::vector<T>& v, std::size_t nodes) {
  return static_cast<double>(v.size() * sizeof(T)) / static_cast<double>(nodes);
}

}  // namespace
}  // namespace corvalind

int main(int argc, char** argv) {
  using namespace corvalind;
  const char* path = argc > 1 ? argv[1] : "/usr/share/dict/american-english";
  const std::size_t count = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 1000;
  const int repeats = argc > 3 ? std::atoi(argv[3]) : 5;

  std::ifstream in(path);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path);
    return 1;
  }
  std::vector<std::u32string> words;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) words.push_back(to_scalars(line));
  }
  const Trie trie = build_trie(words);
  const std::size_t n = trie.node_count();
  const PayloadTable& p = trie.payloads;
  const double fixed = bytes_per_node(trie.node_shifts, n) + bytes_per_node(trie.child_labels, n) +
                       bytes_per_node(trie.child_transitions, n) + bytes_per_node(trie.walk_edges, n) +
                       bytes_per_node(trie.is_terminal, n) + bytes_per_node(p.present, n) +
                       bytes_per_node(p.totals, n) + bytes_per_node(p.entry_offsets, n);
  std::printf("%s: %zu words, %zu nodes, %zu edges, %.2f bytes per node (payload entries apart)\n", path,
              words.size(), n, trie.child_transitions.size(), fixed);
  const double build_start = cpu_seconds();
  const ForwardBackwardIndex& index = *trie.forward_backward->get(trie);
  const double build_seconds = cpu_seconds() - build_start;
  const double index_bytes = bytes_per_node(index.preorder, n) + bytes_per_node(index.reverse, n) +
                             bytes_per_node(index.terminal.words, n) +
                             bytes_per_node(index.terminal.before, n) + bytes_per_node(index.term_nodes, n) +
                             bytes_per_node(index.duplicates, n);
  std::printf("forward-backward index: %zu reverse nodes, built in %.3f s, %.2f bytes per node; %.2f in all\n",
              index.reverse.size() - 1, build_seconds, index_bytes, fixed + index_bytes);

  struct Set {
    const char* label;
    std::size_t min_length, max_length;
  };
  for (const Set set : {Set{"lengths 3-5", 3, 5}, Set{"lengths 6-9", 6, 9}, Set{"lengths 10-20", 10, 20}}) {
    const std::vector<std::string> queries = misspellings(words, set.min_length, set.max_length, count, 2024);
    for (const uint16_t max_dist : {1, 2}) {
      if (!compare(trie, index, set.label, queries, max_dist, repeats)) return 1;
    }
  }
  return 0;
}
