// Ranking: the highest items of a list, in order.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace corvalind {

// Keeps the `limit` highest items of `items` by `higher` (a strict "ranks
// above"), sorted highest first; items that rank equal come in no defined
// order. Costs time linear in the items plus a sort of the kept ones.
template <class T, class Higher>
void keep_highest(std::vector<T>& items, uint64_t limit, Higher higher) {
  if (limit < items.size()) {
    const auto kept_end = items.begin() + static_cast<std::ptrdiff_t>(limit);
    std::nth_element(items.begin(), kept_end, items.end(), higher);
    items.erase(kept_end, items.end());
  }
  std::sort(items.begin(), items.end(), higher);
}

}  // namespace corvalind
