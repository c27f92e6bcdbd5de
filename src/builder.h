// The core steps of building a trie from a producer's flat arrays.
//
// The steps that touch Python objects (converting the arguments and the
// payload tuples) live in the binding; the binding runs these functions in
// the builder's order, so the first failing check decides the error.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "prefix/trie/trie.h"

namespace corvalind {

// Steps 1 to 3: lengths of node_shifts and payloads against N, then every
// edge target below N. ValueError with the producer-facing messages.
std::expected<void, Error> check_flat_arrays(std::size_t node_shifts_len, std::size_t labels_len,
                                             std::size_t payloads_len,
                                             const std::vector<uint32_t>& child_transitions);

// Step 4: the first Unicode scalar of a UTF-8 label, U+0000 for "".
// Labels come from Python str objects, so the text is valid UTF-8; a first
// sequence that is not (decode_checked refuses it) throws InternalFailure.
char32_t first_scalar(std::string_view utf8);

// Step 7: the external id table and mode from the video_index entries: none
// gives mode Uuid with empty tables, all 4 bytes long mode Int32 (read
// little-endian), all 16 bytes long mode Uuid (copied); anything else is a
// ValueError.
struct IdTable {
  IdMode mode = IdMode::Uuid;
  std::vector<Uuid> uuids;
  std::vector<uint32_t> int_ids;
};
Result<IdTable> id_table_from_entries(const std::vector<std::vector<uint8_t>>& entries);

// Steps 8 and 9 plus the malformed-trie check: assembles the trie, refuses it
// when check_trie does, and propagates its payloads once.
Result<FinishedTrie> assemble_trie(std::vector<uint32_t> node_shifts, std::vector<char32_t> child_labels,
                                   std::vector<uint32_t> child_transitions, PayloadTable payloads,
                                   IdTable ids, uint64_t video_top_n);

}  // namespace corvalind
