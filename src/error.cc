#include "error.h"

namespace corvalind {

void fail_index(std::size_t len, std::size_t index) {
  throw InternalFailure("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
                        std::to_string(index));
}

}  // namespace corvalind
