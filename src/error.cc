#include "error.h"

#include "messages.h"

namespace corvalind {

void fail_index(std::size_t len, std::size_t index) {
  throw InternalFailure(messages::index_out_of_bounds(len, index));
}

}  // namespace corvalind
