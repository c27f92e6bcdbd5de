#include "native/thread_batch.h"

#include <exception>
#include <new>
#include <utility>

#include "error.h"
#include "interrupt.h"

namespace corvalind::native {

ThreadBatch::ThreadBatch(const Trie& trie, QueryOptions options, unsigned threads)
    : trie_(trie), options_(options), thread_count_(threads) {}

ThreadBatch::~ThreadBatch() { stop(); }

void ThreadBatch::submit(int64_t start, std::vector<std::string> queries) {
  auto chunk = std::make_unique<Chunk>();
  chunk->start = start;
  chunk->queries = std::move(queries);
  {
    std::lock_guard lock(mutex_);
    chunks_.push_back(std::move(chunk));
    if (workers_.empty()) {
      workers_.reserve(thread_count_);
      for (unsigned i = 0; i < thread_count_; ++i) workers_.emplace_back([this] { work(); });
    }
  }
  work_ready_.notify_one();
}

std::size_t ThreadBatch::pending() const {
  std::lock_guard lock(mutex_);
  return chunks_.size();
}

bool ThreadBatch::wait_oldest(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return chunk_done_.wait_for(lock, timeout, [&] { return chunks_.front()->done; });
}

std::unique_ptr<Chunk> ThreadBatch::take_oldest() {
  std::lock_guard lock(mutex_);
  std::unique_ptr<Chunk> oldest = std::move(chunks_.front());
  chunks_.pop_front();
  --first_untaken_;
  return oldest;
}

void ThreadBatch::stop() noexcept {
  {
    std::lock_guard lock(mutex_);
    stop_.store(true, std::memory_order_relaxed);
  }
  work_ready_.notify_all();
  for (std::thread& worker : workers_) worker.join();
  workers_.clear();
  std::lock_guard lock(mutex_);
  chunks_.clear();
  first_untaken_ = 0;
}

void ThreadBatch::work() noexcept {
  // This thread never holds the interpreter lock: its polls read the stop flag.
  StopFlagScope scope(stop_);
  std::unique_lock lock(mutex_);
  while (true) {
    work_ready_.wait(lock, [&] { return stop_.load(std::memory_order_relaxed) || first_untaken_ < chunks_.size(); });
    if (stop_.load(std::memory_order_relaxed)) return;
    Chunk& chunk = *chunks_[first_untaken_++];
    lock.unlock();
    answer(chunk);
    lock.lock();
    chunk.done = true;
    chunk_done_.notify_all();
  }
}

void ThreadBatch::answer(Chunk& chunk) const {
  const std::size_t count = chunk.queries.size();
  for (std::size_t i = 0; i < count; ++i) {
    // A query shorter than one interrupt interval never polls: look between queries too.
    if (stop_.load(std::memory_order_relaxed)) return;
    const std::string& query = chunk.queries[i];
    try {
      if (options_.videos) {
        chunk.videos.reserve(count);
        chunk.videos.push_back(
            fuzzy_match_video(trie_, query, options_.max_dist, options_.limit, options_.include_prefix_nodes));
      } else {
        chunk.terms.reserve(count);
        chunk.terms.push_back(fuzzy_match(trie_, query, options_.max_dist, options_.limit));
      }
    } catch (const Interrupted&) {
      return;  // stopped: nobody takes this chunk back
    } catch (const std::bad_alloc&) {
      chunk.failure = ChunkFailure::kMemory;
    } catch (const std::exception& unexpected) {
      chunk.failure = ChunkFailure::kInternal;
      try {
        chunk.failure_message = unexpected.what();
      } catch (const std::bad_alloc&) {
        chunk.failure = ChunkFailure::kMemory;
      }
    } catch (...) {
      chunk.failure = ChunkFailure::kInternal;
    }
    if (chunk.failure != ChunkFailure::kNone) {
      chunk.failed_query = i;
      return;
    }
  }
}

}  // namespace corvalind::native
