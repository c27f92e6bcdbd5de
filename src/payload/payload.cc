#include "payload/payload.h"

#include <algorithm>

#include "error.h"
#include "ranking.h"

namespace corvalind {

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

  keep_highest(ranked_, limit, [](const Ranked& a, const Ranked& b) { return a.sum > b.sum; });
  for (const Ranked& ranked : ranked_) {
    video_ids.push_back(ranked.video);
    video_counts.push_back(static_cast<uint32_t>(std::min<uint64_t>(ranked.sum, kMaxU32)));
  }
}

}  // namespace corvalind
