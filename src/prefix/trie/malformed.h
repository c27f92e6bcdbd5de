// The refusal of a trie that breaks an invariant its readers rely on.
#pragma once

#include <string>

#include "error.h"
#include "messages.h"

namespace corvalind {

// ValueError "malformed trie: {detail}".
inline std::unexpected<Error> malformed(const std::string& detail) {
  return fail(ErrorType::ValueError, std::string(messages::kMalformedTrie) + detail);
}

}  // namespace corvalind
