#include "payload/payload.h"

#include <algorithm>
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
  for (std::size_t k = 0; k < video_ids.size(); ++k) sums_[video_ids[k]] += video_counts[k];
}

void VideoTally::take_ranked(uint64_t limit, std::vector<uint32_t>& video_ids,
                             std::vector<uint32_t>& video_counts) {
  ranked_.clear();
  sums_.drain([&](uint32_t video, uint64_t sum) { ranked_.push_back({sum, video}); });

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
