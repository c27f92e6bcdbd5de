// Queries answered on native threads, chunk by chunk, in submission order.
//
// Pure C++: the threads never touch the interpreter. The caller submits
// chunks of already converted queries; `threads` workers take whole chunks
// from a queue as they become free (queries differ a hundredfold in cost,
// so nothing is divided in advance) and answer each query with the core's
// matcher; the caller takes finished chunks back oldest first. Workers poll
// the batch's stop flag, never the installed interrupt check, so stop()
// ends a query in the middle within one interrupt interval.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "prefix/matcher/matcher.h"
#include "prefix/trie/trie.h"
#include "video_query.h"

namespace corvalind::native {

// Which method every query calls, and its arguments after the term.
struct QueryOptions {
  bool videos = false;
  uint32_t max_dist = 1;
  std::optional<uint64_t> limit;
  std::optional<bool> include_prefix_nodes;
};

// How a chunk's answering ended early.
enum class ChunkFailure : uint8_t { kNone, kMemory, kInternal };

struct Chunk {
  int64_t start = 0;                  // index of its first query in the batch
  std::vector<std::string> queries;   // UTF-8
  // One per query answered, of the method's kind.
  std::vector<std::vector<MatchResult>> terms;
  std::vector<std::vector<VideoScore>> videos;
  ChunkFailure failure = ChunkFailure::kNone;
  std::size_t failed_query = 0;       // offset in the chunk, with a failure
  std::string failure_message;        // kInternal's text
  bool done = false;                  // guarded by the batch's mutex
};

class ThreadBatch {
 public:
  // REQUIRES: a finished trie that outlives the batch; threads >= 1.
  ThreadBatch(const Trie& trie, QueryOptions options, unsigned threads);
  // Stops and joins the workers.
  ~ThreadBatch();
  ThreadBatch(const ThreadBatch&) = delete;
  ThreadBatch& operator=(const ThreadBatch&) = delete;

  const QueryOptions& options() const { return options_; }
  // Queues a chunk; starts the workers on first use.
  void submit(int64_t start, std::vector<std::string> queries);
  // Chunks submitted and not yet taken back.
  std::size_t pending() const;
  // Waits at most `timeout` for the oldest pending chunk; true once it is
  // finished. REQUIRES: pending() > 0.
  bool wait_oldest(std::chrono::milliseconds timeout);
  // Removes and returns the oldest chunk. REQUIRES: wait_oldest() was true.
  std::unique_ptr<Chunk> take_oldest();
  // Makes every worker leave at its next poll and joins them; pending
  // chunks are dropped. Idempotent.
  void stop() noexcept;

 private:
  void work() noexcept;
  void answer(Chunk& chunk) const;

  const Trie& trie_;
  const QueryOptions options_;
  const unsigned thread_count_;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::condition_variable work_ready_;
  std::condition_variable chunk_done_;
  std::deque<std::unique_ptr<Chunk>> chunks_;  // submission order
  std::size_t first_untaken_ = 0;              // chunks_[first_untaken_] is the next for a worker
  std::vector<std::thread> workers_;
};

}  // namespace corvalind::native
