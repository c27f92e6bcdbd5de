#include "payload/payload.h"

#include <algorithm>
#include <bit>
#include <limits>

#include "error.h"

namespace corvalind {

void Payload::merge_from(const Payload& other) {
  VideoTally tally;
  tally.add(video_ids, video_counts);
  tally.add(other.video_ids, other.video_counts);
  total = saturating_add(total, other.total);
  // Cleared only after both lists were read: `other` may be this payload.
  video_ids.clear();
  video_counts.clear();
  tally.take_ranked(std::numeric_limits<uint64_t>::max(), video_ids, video_counts);
}

void VideoTally::add(std::span<const uint32_t> video_ids, std::span<const uint32_t> video_counts) {
  if (video_ids.size() != video_counts.size()) {
    throw InternalFailure("video_ids and video_counts differ in length");
  }
  for (std::size_t k = 0; k < video_ids.size(); ++k) {
    if (2 * (touched_.size() + 1) > slots_.size()) grow();
    const uint32_t video = video_ids[k];
    const std::size_t mask = slots_.size() - 1;
    std::size_t at = home(video);
    while (slots_[at].used && slots_[at].video != video) at = (at + 1) & mask;
    Slot& slot = slots_[at];
    if (!slot.used) {
      slot = {video, true, 0};
      touched_.push_back(at);
    }
    slot.sum += video_counts[k];
  }
}

void VideoTally::grow() {
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(old.empty() ? 16 : 2 * old.size(), Slot{});
  shift_ = 64 - std::countr_zero(slots_.size());
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t& index : touched_) {
    const Slot& moved = old[index];
    std::size_t at = home(moved.video);
    while (slots_[at].used) at = (at + 1) & mask;
    slots_[at] = moved;
    index = at;
  }
}

void VideoTally::take_ranked(uint64_t limit, std::vector<uint32_t>& video_ids,
                             std::vector<uint32_t>& video_counts) {
  ranked_.clear();
  for (std::size_t index : touched_) {
    Slot& slot = slots_[index];
    ranked_.push_back({slot.sum, slot.video});
    slot = Slot{};
  }
  touched_.clear();

  const auto higher = [](const Ranked& a, const Ranked& b) { return a.sum > b.sum; };
  const std::size_t kept = static_cast<std::size_t>(std::min<uint64_t>(limit, ranked_.size()));
  const auto kept_end = ranked_.begin() + static_cast<std::ptrdiff_t>(kept);
  if (kept < ranked_.size()) std::nth_element(ranked_.begin(), kept_end, ranked_.end(), higher);
  std::sort(ranked_.begin(), kept_end, higher);

  for (auto it = ranked_.begin(); it != kept_end; ++it) {
    video_ids.push_back(it->video);
    video_counts.push_back(static_cast<uint32_t>(std::min<uint64_t>(it->sum, kMaxU32)));
  }
}

}  // namespace corvalind
