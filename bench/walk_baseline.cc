// Times the typo search against a compiled deletion dictionary.
//
// Builds a trie of the words of a file (one per line; default
// /usr/share/dict/american-english), numbered breadth first like the Python
// producer does, and a symmetric-delete dictionary (deletion_dictionary.h)
// of the same words for max_dist 1 and 2. Makes seeded misspellings of the
// words in three length buckets and, after checking on every query that
// the core's search gives the walk's matches in the walk's order and the
// dictionary's (term, distance) set, times per query, interleaved: the
// dictionary, the core's search (fuzzy_match_nodes of terminal nodes: the
// forward-backward search where it serves) and the walk from the root.
// Each query keeps its best of REPEATS runs of each; the table gives the
// median and mean over the queries. Also prints the memory of each
// structure, the index build, what a serving process holds after restoring
// the trie and answering one typo query (a child process reading
// /proc/self/statm), and the time of a query that cannot match.
//
// Build and run (Release):
//   cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DCORVALIND_BUILD_BENCH=ON
//         -DCORVALIND_BUILD_EXTENSION=OFF
//   cmake --build build/bench --target walk_baseline
//   build/bench/walk_baseline [WORD_FILE [QUERIES [REPEATS]]]
// QUERIES per bucket (default 1000), REPEATS default 3.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "builder.h"
#include "deletion_dictionary.h"
#include "payloads.h"
#include "prefix/matcher/matcher.h"
#include "prefix/matcher/walk.h"
#include "prefix/trie/forward_backward_index.h"
#include "prefix/trie/trie.h"
#include "reference.h"
#include "video_query.h"

extern char** environ;

namespace corvalind {
namespace {

using reference::to_scalars;
using reference::to_utf8;
using Clock = std::chrono::steady_clock;

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


template <class T>
std::size_t bytes_of(const std::vector<T>& v) {
  return v.capacity() * sizeof(T);
}

// What the typo search reads: the trie's edge and label arrays, the
// terminal flags and the walk's edge view.
std::size_t lookup_bytes(const Trie& trie) {
  return bytes_of(trie.node_shifts) + bytes_of(trie.child_labels) + bytes_of(trie.child_transitions) +
         bytes_of(trie.is_terminal) + bytes_of(trie.walk_edges);
}

std::size_t index_bytes(const ForwardBackwardIndex& index) {
  return bytes_of(index.preorder) + bytes_of(index.reverse) + bytes_of(index.terminal.words) +
         bytes_of(index.terminal.before) + bytes_of(index.term_nodes) + bytes_of(index.duplicates);
}

// The whole trie as a process holds it, its payloads and id tables included.
std::size_t trie_bytes(const Trie& trie) {
  const PayloadTable& p = trie.payloads;
  return lookup_bytes(trie) + bytes_of(p.present) + bytes_of(p.totals) + bytes_of(p.entry_offsets) +
         bytes_of(p.video_ids) + bytes_of(p.video_counts) + bytes_of(trie.video_uuids) +
         bytes_of(trie.video_int_ids);
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// CPU time of this thread: what another process's turn on the core does
// not count.
double cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Resident bytes of this process.
std::size_t resident_bytes() {
  std::ifstream statm("/proc/self/statm");
  std::size_t size = 0, resident = 0;
  statm >> size >> resident;
  return resident * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

// Peak resident bytes since the last reset_peak().
std::size_t peak_resident_bytes() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::strtoull(line.c_str() + 6, nullptr, 10) * 1024;
  }
  return 0;
}

void reset_peak() { std::ofstream("/proc/self/clear_refs") << "5"; }

constexpr double kMiB = 1024.0 * 1024.0;

// The child of serve_child: restores the snapshot in `path` as a serving
// process would, answers one typo query and reports what it holds.
int serve(const char* path) {
  const std::size_t before = resident_bytes();
  std::vector<uint8_t> bytes;
  {
    std::ifstream in(path, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  Result<Trie> decoded = Trie::decode(bytes);
  if (!decoded) return 1;
  const Trie trie = std::move(*decoded);
  std::vector<uint8_t>().swap(bytes);
  const std::size_t loaded = resident_bytes();
  reset_peak();
  const auto start = Clock::now();
  fuzzy_match(trie, "indx", 1, std::nullopt);
  const double first_query = seconds_since(start);
  const std::size_t peak = peak_resident_bytes();
  const std::size_t after = resident_bytes();
  const ForwardBackwardIndex* index = trie.forward_backward->get(trie);
  const std::size_t structure = trie_bytes(trie) + (index ? index_bytes(*index) : 0);
  const double bound = 1.1 * static_cast<double>(structure) + 16 * kMiB;
  std::printf("serving process: structure %.1f MiB (trie %.1f + index %.1f); RSS growth after from_bytes %.1f MiB, "
              "after the first typo query (%.3f s) %.1f MiB, bound 1.1 x structure + 16 MiB = %.1f MiB: %s\n",
              static_cast<double>(structure) / kMiB, static_cast<double>(trie_bytes(trie)) / kMiB,
              static_cast<double>(structure - trie_bytes(trie)) / kMiB, static_cast<double>(loaded - before) / kMiB,
              first_query, static_cast<double>(after - before) / kMiB, bound / kMiB,
              static_cast<double>(after - before) <= bound ? "met" : "missed");
  std::printf("index build in the serving process: peak RSS growth %.1f MiB over the start (trie, index and "
              "temporaries) = %.2f x the final structure\n",
              static_cast<double>(peak - before) / kMiB, static_cast<double>(peak - before) / static_cast<double>(structure));
  return 0;
}

// Writes the trie's snapshot and runs `self --serve` on it in a fresh process.
void serve_child(const Trie& trie, const char* self) {
  char path[] = "/tmp/walk_baseline_XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return;
  const std::vector<uint8_t> bytes = trie.encode();
  if (write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) std::perror("write");
  close(fd);
  char serve_flag[] = "--serve";
  char* argv[] = {const_cast<char*>(self), serve_flag, path, nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv, environ) == 0) {
    int status = 0;
    waitpid(pid, &status, 0);
  }
  std::fflush(stdout);
  unlink(path);
}

struct TermDistance {
  std::string term;
  uint32_t distance;
  auto operator<=>(const TermDistance&) const = default;
};

// The core's search as the benchmark times it: terminal nodes and distances,
// no text, as the dictionary gives term ids and distances.
std::vector<NodeMatch> core_search(const Trie& trie, std::string_view term, uint32_t max_dist) {
  return fuzzy_match_nodes(trie, term, max_dist, std::nullopt, true);
}

std::vector<NodeMatch> walk_search(const Trie& trie, std::string_view term, uint32_t max_dist) {
  std::vector<NodeMatch> matches;
  detail::walk_from_root(trie, to_scalars(term), max_dist, true,
                         [&](uint32_t node, uint32_t distance, std::span<const char32_t>) {
                           matches.push_back({node, distance});
                           return false;
                         });
  return matches;
}

bool same_nodes(const std::vector<NodeMatch>& a, const std::vector<NodeMatch>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](const NodeMatch& x, const NodeMatch& y) { return x.node == y.node && x.distance == y.distance; });
}

// The core's results in walk order and the dictionary's as a set, on every
// query; prints the first disagreement.
bool check(const Trie& trie, bench::DeletionDictionary& dictionary, const std::vector<std::u32string>& terms,
           const std::vector<std::string>& queries, uint32_t max_dist) {
  for (const std::string& query : queries) {
    const std::vector<NodeMatch> core = core_search(trie, query, max_dist);
    if (!same_nodes(core, walk_search(trie, query, max_dist))) {
      std::printf("MISMATCH with the walk on '%s' at max_dist %u\n", query.c_str(), max_dist);
      return false;
    }
    std::vector<TermDistance> ours;
    for (const MatchResult& m : fuzzy_match(trie, query, max_dist, std::nullopt)) ours.push_back({m.term, m.distance});
    std::vector<TermDistance> theirs;
    for (const auto& m : dictionary.lookup(to_scalars(query))) theirs.push_back({to_utf8(terms[m.term]), m.distance});
    std::sort(ours.begin(), ours.end());
    std::sort(theirs.begin(), theirs.end());
    if (ours != theirs || ours.size() != core.size()) {
      std::printf("MISMATCH with the deletion dictionary on '%s' at max_dist %u: %zu against %zu matches\n",
                  query.c_str(), max_dist, ours.size(), theirs.size());
      return false;
    }
  }
  return true;
}

struct Summary {
  double median_us, mean_us;
};

Summary summarize(std::vector<double> seconds) {
  std::sort(seconds.begin(), seconds.end());
  double sum = 0;
  for (const double s : seconds) sum += s;
  const std::size_t n = seconds.size();
  const double median = n % 2 ? seconds[n / 2] : (seconds[n / 2 - 1] + seconds[n / 2]) / 2;
  return {median * 1e6, sum / static_cast<double>(n) * 1e6};
}

// Times the three on each query, interleaved, best of `repeats` per query.
void time_bucket(const Trie& trie, bench::DeletionDictionary& dictionary, const char* label,
                 const std::vector<std::string>& queries, uint32_t max_dist, int repeats) {
  const std::size_t n = queries.size();
  std::vector<double> dd(n, 1e30), core(n, 1e30), walk(n, 1e30);
  std::size_t sink = 0;
  for (int r = 0; r < repeats; ++r) {
    for (std::size_t i = 0; i < n; ++i) {
      auto start = Clock::now();
      sink += dictionary.lookup(to_scalars(queries[i])).size();
      dd[i] = std::min(dd[i], seconds_since(start));
      start = Clock::now();
      sink += core_search(trie, queries[i], max_dist).size();
      core[i] = std::min(core[i], seconds_since(start));
      start = Clock::now();
      sink += walk_search(trie, queries[i], max_dist).size();
      walk[i] = std::min(walk[i], seconds_since(start));
    }
  }
  const Summary a = summarize(dd), b = summarize(core), c = summarize(walk);
  std::printf("| %-6s | %u | %8.2f | %8.2f | %8.2f | %8.2f | %8.1f | %8.1f | %5.2fx | %5.2fx | %7.2f |\n", label,
              max_dist, a.median_us, a.mean_us, b.median_us, b.mean_us, c.median_us, c.mean_us,
              b.median_us / a.median_us, b.mean_us / a.mean_us,
              static_cast<double>(sink) / (3.0 * repeats * static_cast<double>(n)));
}

// A query of `length` scalars that no stored term is within one edit of,
// against a trie of the first 2,000 words: the time to answer [].
void long_query(const std::vector<std::u32string>& words, std::size_t length) {
  std::vector<std::u32string> first(words.begin(), words.begin() + std::min<std::size_t>(2000, words.size()));
  const Trie small = build_trie(first);
  std::string query(length, 'a');
  for (std::size_t i = 1; i < length; i += 7) query[i] = 'b';
  auto start = Clock::now();
  std::size_t terms = 0, videos = 0;
  double term_seconds = 0, video_seconds = 0;
  try {
    terms = fuzzy_match(small, query, 1, std::nullopt).size();
    term_seconds = seconds_since(start);
    start = Clock::now();
    videos = fuzzy_match_video(small, query, 1, std::nullopt, std::nullopt).size();
    video_seconds = seconds_since(start);
  } catch (const std::bad_alloc&) {
    std::printf("query of %zu scalars: std::bad_alloc after %.3f s\n", length, seconds_since(start));
    return;
  }
  std::printf("query of %zu scalars, trie of the first %zu words, max_dist 1: fuzzy_match %.4f s (%zu matches), "
              "fuzzy_match_video %.4f s (%zu videos)\n",
              length, first.size(), term_seconds, terms, video_seconds, videos);
}

}  // namespace
}  // namespace corvalind

int main(int argc, char** argv) {
  using namespace corvalind;
  if (argc == 3 && std::string_view(argv[1]) == "--serve") return serve(argv[2]);
  const char* path = argc > 1 ? argv[1] : "/usr/share/dict/american-english";
  const std::size_t count = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 1000;
  const int repeats = argc > 3 ? std::atoi(argv[3]) : 3;

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
  std::vector<std::u32string> terms = words;
  std::sort(terms.begin(), terms.end());
  terms.erase(std::unique(terms.begin(), terms.end()), terms.end());
  const Trie trie = build_trie(words);
  const std::size_t nodes = trie.node_count();
  const double node_count = static_cast<double>(nodes);
  const double term_count = static_cast<double>(terms.size());

  double build_seconds = 1e30;
  for (int r = 0; r < 5; ++r) {
    const double start = cpu_seconds();
    build_forward_backward_index(trie);
    build_seconds = std::min(build_seconds, cpu_seconds() - start);
  }
  const ForwardBackwardIndex& index = *trie.forward_backward->get(trie);
  const double ours = static_cast<double>(lookup_bytes(trie) + index_bytes(index));
  std::printf("%s: %zu terms, %zu nodes, %zu edges\n", path, terms.size(), nodes, trie.child_transitions.size());
  std::printf("forward-backward index: %zu reverse nodes, built in %.3f s (%.3f s per million nodes, CPU time, best of 5)\n",
              index.reverse.size() - 1, build_seconds, build_seconds / node_count * 1e6);
  std::printf("memory, ours: trie lookup arrays %.1f MB + index %.1f MB = %.1f MB (%.1f B/node, %.1f B/term)\n",
              static_cast<double>(lookup_bytes(trie)) / 1e6, static_cast<double>(index_bytes(index)) / 1e6,
              ours / 1e6, ours / node_count, ours / term_count);
  bench::DeletionDictionary* dictionaries[3] = {nullptr, nullptr, nullptr};
  for (const uint32_t k : {1u, 2u}) {
    const auto start = Clock::now();
    dictionaries[k] = new bench::DeletionDictionary(terms, k);
    const double bytes = static_cast<double>(dictionaries[k]->bytes());
    std::printf("memory, deletion dictionary max_dist %u: %.1f MB (%.1f B/term), built in %.2f s; ours / it %.2f\n", k,
                bytes / 1e6, bytes / term_count, seconds_since(start), ours / bytes);
  }
  std::fflush(stdout);
  serve_child(trie, argv[0]);
  long_query(words, 9'600'000);

  struct Set {
    const char* label;
    std::size_t min_length, max_length;
  };
  const Set sets[] = {{"3-5", 3, 5}, {"6-9", 6, 9}, {"10-20", 10, 20}};
  std::printf("\nmicroseconds per query, %zu misspellings per bucket, best of %d per query, interleaved:\n", count,
              repeats);
  std::printf("| bucket | k | dd median | dd mean | fb median | fb mean | walk median | walk mean | "
              "fb/dd median | fb/dd mean | matches |\n|---|---|---|---|---|---|---|---|---|---|---|\n");
  for (const uint32_t max_dist : {1u, 2u}) {
    for (const Set& set : sets) {
      const std::vector<std::string> queries = misspellings(terms, set.min_length, set.max_length, count, 2024);
      if (!check(trie, *dictionaries[max_dist], terms, queries, max_dist)) return 1;
      time_bucket(trie, *dictionaries[max_dist], set.label, queries, max_dist, repeats);
    }
  }
  return 0;
}
