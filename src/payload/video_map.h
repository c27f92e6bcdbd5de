// A value per internal video number, for tallying counts and scores.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace corvalind {

// Open addressing with linear probing and Fibonacci hashing, at most half
// full. It remembers which slots it used, so draining it costs only what was
// touched and a map reused for many tallies keeps its storage.
template <class Value>
class VideoMap {
 public:
  // Room for `expected` videos before the first rehash.
  explicit VideoMap(std::size_t expected = 0) {
    if (expected > 0) rehash(std::bit_ceil(std::max<std::size_t>(2 * expected, 16)));
  }

  // The value of `video`, zero when it is new.
  Value& operator[](uint32_t video) {
    if (2 * (touched_.size() + 1) > slots_.size()) rehash(slots_.empty() ? 16 : 2 * slots_.size());
    const std::size_t at = find(video);
    Slot& slot = slots_[at];
    if (!slot.used) {
      slot = {video, true, Value{}};
      touched_.push_back(at);
    }
    return slot.value;
  }

  // Calls visit(video, value) for every video, in the order they were first
  // seen, and empties the map.
  template <class Visit>
  void drain(Visit visit) {
    for (const std::size_t at : touched_) {
      visit(slots_[at].video, slots_[at].value);
      slots_[at] = Slot{};
    }
    touched_.clear();
  }

 private:
  struct Slot {
    uint32_t video = 0;
    bool used = false;
    Value value{};
  };

  std::size_t find(uint32_t video) const {
    const std::size_t mask = slots_.size() - 1;
    std::size_t at = (video * 0x9E3779B97F4A7C15ull) >> shift_;
    while (slots_[at].used && slots_[at].video != video) at = (at + 1) & mask;
    return at;
  }

  void rehash(std::size_t capacity) {
    std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(capacity));
    shift_ = 64 - std::countr_zero(capacity);
    for (std::size_t& at : touched_) {
      const std::size_t moved = find(old[at].video);
      slots_[moved] = old[at];
      at = moved;
    }
  }

  std::vector<Slot> slots_;           // power-of-two size
  int shift_ = 64;                    // 64 - log2(slots_.size())
  std::vector<std::size_t> touched_;  // the used slots, in first-use order
};

}  // namespace corvalind
