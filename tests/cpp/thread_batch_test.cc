// The threaded batch runner: the serial answers in submission order for any
// number of threads and chunk sizes, failures reported per query, and stop()
// ending queries in the middle.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "native/thread_batch.h"
#include "native/trie_stats.h"
#include "test_trie.h"

namespace corvalind::native {
namespace {

using testing::make_trie;
using testing::TestNode;
using testing::word_nodes;

std::vector<std::string> random_words(std::mt19937& rng, std::size_t count, std::size_t longest) {
  std::vector<std::string> words;
  for (std::size_t i = 0; i < count; ++i) {
    std::string word(1 + rng() % longest, 'a');
    for (char& c : word) c = static_cast<char>('a' + rng() % 26);
    words.push_back(word);
  }
  return words;
}

// Submits `queries` in chunks and takes every chunk back, in order.
std::vector<Chunk> run(ThreadBatch& batch, const std::vector<std::string>& queries, std::size_t chunk_size) {
  for (std::size_t start = 0; start < queries.size(); start += chunk_size) {
    std::size_t end = std::min(queries.size(), start + chunk_size);
    batch.submit(static_cast<int64_t>(start), {queries.begin() + start, queries.begin() + end});
  }
  std::vector<Chunk> chunks;
  while (batch.pending() > 0) {
    while (!batch.wait_oldest(std::chrono::milliseconds(10))) {
    }
    chunks.push_back(std::move(*batch.take_oldest()));
  }
  return chunks;
}

TEST(ThreadBatch, GivesTheSerialAnswersInOrder) {
  std::mt19937 rng(7);
  Trie trie = make_trie(word_nodes(random_words(rng, 400, 7)));
  std::vector<std::string> queries = random_words(rng, 300, 9);
  queries.push_back("");
  struct Case {
    unsigned threads;
    std::size_t chunk_size;
    uint32_t max_dist;
    std::optional<uint64_t> limit;
  };
  for (const Case& c : {Case{1, 1, 1, {}}, Case{2, 7, 2, {}}, Case{4, 64, 2, 3}, Case{3, 1000, 0, 1}}) {
    ThreadBatch batch(trie, {false, c.max_dist, c.limit, {}}, c.threads);
    std::vector<Chunk> chunks = run(batch, queries, c.chunk_size);
    std::size_t next = 0;
    for (const Chunk& chunk : chunks) {
      ASSERT_EQ(chunk.start, static_cast<int64_t>(next));
      ASSERT_EQ(chunk.failure, ChunkFailure::kNone);
      ASSERT_EQ(chunk.terms.size(), chunk.queries.size());
      for (const std::vector<MatchResult>& got : chunk.terms) {
        std::vector<MatchResult> expected = fuzzy_match(trie, queries[next++], c.max_dist, c.limit);
        ASSERT_EQ(got.size(), expected.size());
        for (std::size_t i = 0; i < got.size(); ++i) {
          EXPECT_EQ(got[i].term, expected[i].term);
          EXPECT_EQ(got[i].distance, expected[i].distance);
        }
      }
    }
    EXPECT_EQ(next, queries.size());
  }
}

// A spine of 'a' nodes, each with a leaf 'b' after the next spine node, so a
// long query keeps a row for every spine node: tens of milliseconds a query.
Trie caterpillar(uint32_t depth) {
  std::vector<TestNode> nodes(1);
  uint32_t spine = 0;
  for (uint32_t k = 0; k < depth; ++k) {
    nodes.push_back({spine, U'a', k + 1 == depth});
    uint32_t next = static_cast<uint32_t>(nodes.size() - 1);
    nodes.push_back({spine, U'b', false});
    spine = next;
  }
  return make_trie(nodes);
}

TEST(ThreadBatch, StopEndsQueriesInTheMiddle) {
  Trie trie = caterpillar(20000);
  ThreadBatch batch(trie, {false, 0xFFFFFFFF, {}, {}}, 2);
  // 400 queries of some 40 ms each: 8 s of work on 2 threads.
  for (int start = 0; start < 400; start += 100) batch.submit(start, std::vector<std::string>(100, std::string(2000, 'a')));
  EXPECT_FALSE(batch.wait_oldest(std::chrono::milliseconds(20)));
  auto before = std::chrono::steady_clock::now();
  batch.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));
  EXPECT_EQ(batch.pending(), 0u);
}

TEST(ThreadBatch, ReportsTheQueryThatRanOutOfMemory) {
  // Rows of 20,001 cells for 70,000 pending nodes pass the matcher's 256 MiB cap.
  Trie trie = caterpillar(70000);
  ThreadBatch batch(trie, {false, 0xFFFFFFFF, {}, {}}, 2);
  std::vector<Chunk> chunks = run(batch, {"a", "aa", std::string(20000, 'a'), "b"}, 4);
  ASSERT_EQ(chunks.size(), 1u);
  EXPECT_EQ(chunks[0].failure, ChunkFailure::kMemory);
  EXPECT_EQ(chunks[0].failed_query, 2u);
}

TEST(TrieStats, CountsWhatTheTrieHolds) {
  Trie trie = make_trie(word_nodes({"ab", "abc", "b", "abd"}));
  TrieStats stats = trie_stats(trie);
  EXPECT_EQ(stats.nodes, 6u);
  EXPECT_EQ(stats.terms, 4u);
  EXPECT_EQ(stats.depth, 3u);
  EXPECT_EQ(stats.snapshot_bytes, trie.encode().size());
  EXPECT_EQ(trie_stats(make_trie({TestNode{}})).depth, 0u);
}

}  // namespace
}  // namespace corvalind::native
