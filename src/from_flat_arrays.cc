// PrefixSearch.from_internal_data_v2: the producer's flat arrays to a trie.
//
// The order of the checks decides which error a caller sees when several
// inputs are wrong, so it is kept here in one place: the six arguments are
// converted in parameter order, then the lengths and edge targets are
// checked, then the payload tuples converted, then the id table built, and
// last the assembled trie is checked and propagated.
#include <optional>
#include <vector>

#include "binding/arguments.h"
#include "binding/boundary.h"
#include "binding/convert.h"
#include "binding/py_ref.h"
#include "builder.h"
#include "messages.h"
#include "prefix_search.h"

namespace corvalind {
namespace {

using binding::PyRef;
using binding::convert_argument;

constexpr binding::MethodParams kParams{
    "PrefixSearch.from_internal_data_v2()",
    {"node_shifts", "child_labels", "payloads", "child_transitions", "video_index", "video_top_n"},
    6,
    6};

// Payload tuples (total, video_ids, video_counts) or None, one per node, in
// node order. Each object is released as soon as it is converted. Errors
// carry no argument prefix.
PayloadTable convert_payloads(std::vector<PyRef>& payloads) {
  PayloadTable table;
  table.reserve(payloads.size(), 0);
  InterruptPoll poll;
  for (PyRef& payload : payloads) {
    poll.tick();
    if (!payload) {
      table.end_node(false, 0);
      continue;
    }
    PyObject* tuple = payload.get();
    if (!PyTuple_Check(tuple)) binding::refuse(tuple, messages::kPyTuple);
    if (PyTuple_GET_SIZE(tuple) != 3) binding::raise(PyExc_ValueError, std::string(messages::kPayloadTupleSize));
    uint32_t total = binding::to_u32(PyTuple_GET_ITEM(tuple, 0));
    std::size_t ids_before = table.video_ids.size();
    std::size_t counts_before = table.video_counts.size();
    binding::append_converted(PyTuple_GET_ITEM(tuple, 1), table.video_ids, binding::to_u32);
    binding::append_converted(PyTuple_GET_ITEM(tuple, 2), table.video_counts, binding::to_u32);
    if (table.video_ids.size() - ids_before != table.video_counts.size() - counts_before) {
      binding::raise(PyExc_ValueError, std::string(messages::kPayloadListsMismatch));
    }
    table.end_node(true, total);
    payload.reset();
  }
  return table;
}

std::vector<uint8_t> to_id_entry(PyObject* entry) { return binding::to_vector(entry, binding::to_byte); }

char32_t to_label(PyObject* item) { return first_scalar(binding::to_text(item)); }

PyRef to_payload_object(PyObject* item) { return item == Py_None ? PyRef() : PyRef::new_ref(item); }

}  // namespace

PyObject* from_internal_data_v2(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  return binding::guard<PyObject*>(nullptr, [&] {
    binding::BoundArgs bound = binding::bind_arguments(kParams, args, nargsf, kwnames);
    auto u32_vector = [](PyObject* object) { return binding::to_vector(object, binding::to_u32); };
    std::vector<uint32_t> node_shifts = convert_argument("node_shifts", [&] { return u32_vector(bound[0]); });
    std::vector<char32_t> child_labels =
        convert_argument("child_labels", [&] { return binding::to_vector(bound[1], to_label); });
    std::vector<PyRef> payloads =
        convert_argument("payloads", [&] { return binding::to_vector(bound[2], to_payload_object); });
    std::vector<uint32_t> child_transitions =
        convert_argument("child_transitions", [&] { return u32_vector(bound[3]); });
    std::vector<std::vector<uint8_t>> video_index =
        convert_argument("video_index", [&] { return binding::to_vector(bound[4], to_id_entry); });
    uint64_t video_top_n = convert_argument("video_top_n", [&] { return binding::to_usize(bound[5]); });

    if (auto checked = check_flat_arrays(node_shifts.size(), child_labels.size(), payloads.size(), child_transitions);
        !checked) {
      binding::raise(checked.error());
    }
    PayloadTable payload_table = convert_payloads(payloads);
    Result<IdTable> ids = id_table_from_entries(video_index);
    if (!ids) binding::raise(ids.error());
    video_index = {};
    Result<FinishedTrie> trie = assemble_trie(std::move(node_shifts), std::move(child_labels),
                                              std::move(child_transitions), std::move(payload_table), std::move(*ids),
                                              video_top_n);
    if (!trie) binding::raise(trie.error());
    return wrap_trie(std::move(*trie));
  });
}

}  // namespace corvalind
