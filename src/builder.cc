#include "builder.h"

#include <algorithm>
#include <string>

#include "messages.h"
#include "utf8.h"

namespace corvalind {

std::expected<void, Error> check_flat_arrays(std::size_t node_shifts_len, std::size_t labels_len,
                                             std::size_t payloads_len,
                                             const std::vector<uint32_t>& child_transitions) {
  if (node_shifts_len != labels_len) {
    return fail(ErrorType::ValueError, messages::length_mismatch("node_shifts", node_shifts_len, labels_len));
  }
  if (payloads_len != labels_len) {
    return fail(ErrorType::ValueError, messages::length_mismatch("payloads", payloads_len, labels_len));
  }
  for (std::size_t j = 0; j < child_transitions.size(); ++j) {
    if (child_transitions[j] >= labels_len) {
      return fail(ErrorType::ValueError, messages::transition_out_of_range(j, child_transitions[j], labels_len));
    }
  }
  return {};
}

char32_t first_scalar(std::string_view utf8) {
  if (utf8.empty()) return U'\0';
  const auto checked = decode_checked({reinterpret_cast<const uint8_t*>(utf8.data()), utf8.size()});
  if (!checked) throw InternalFailure("label is not valid UTF-8");
  return checked->scalar;
}

Result<IdTable> id_table_from_entries(const std::vector<std::vector<uint8_t>>& entries) {
  IdTable table;
  const auto all_of_size = [&](std::size_t size) {
    return std::all_of(entries.begin(), entries.end(), [&](const auto& entry) { return entry.size() == size; });
  };
  if (entries.empty()) return table;
  if (all_of_size(4)) {
    table.mode = IdMode::Int32;
    table.int_ids.reserve(entries.size());
    for (const auto& entry : entries) {
      table.int_ids.push_back(uint32_t{entry[0]} | uint32_t{entry[1]} << 8 | uint32_t{entry[2]} << 16 |
                              uint32_t{entry[3]} << 24);
    }
    return table;
  }
  if (all_of_size(16)) {
    table.uuids.resize(entries.size());
    for (std::size_t k = 0; k < entries.size(); ++k) {
      std::copy(entries[k].begin(), entries[k].end(), table.uuids[k].begin());
    }
    return table;
  }
  return fail(ErrorType::ValueError, std::string(messages::kVideoIndexEntries));
}

Result<FinishedTrie> assemble_trie(std::vector<uint32_t> node_shifts, std::vector<char32_t> child_labels,
                                   std::vector<uint32_t> child_transitions, PayloadTable payloads,
                                   IdTable ids, uint64_t video_top_n) {
  Trie trie;
  trie.node_shifts = std::move(node_shifts);
  trie.child_labels = std::move(child_labels);
  trie.child_transitions = std::move(child_transitions);
  trie.is_terminal = payloads.present;
  trie.payloads = std::move(payloads);
  trie.video_uuids = std::move(ids.uuids);
  trie.video_int_ids = std::move(ids.int_ids);
  trie.id_mode = ids.mode;
  Result<FinishedTrie> finished = finish_trie(std::move(trie));
  if (finished) finished->propagate(video_top_n);
  return finished;
}

}  // namespace corvalind
