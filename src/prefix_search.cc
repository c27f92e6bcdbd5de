// PrefixSearch: the type, its lifecycle, the snapshot methods and the queries.
#include "prefix_search.h"

#include <new>
#include <optional>
#include <string>
#include <utility>

#include "binding/arguments.h"
#include "binding/boundary.h"
#include "binding/convert.h"
#include "binding/py_ref.h"
#include "binding/results.h"
#include "messages.h"
#include "prefix/matcher/matcher.h"
#include "video_query.h"

namespace corvalind {
namespace {

using binding::BoundArgs;
using binding::MethodParams;
using binding::PyRef;
using binding::convert_argument;
using binding::require;

constexpr MethodParams kFromBytesParams{"PrefixSearch.from_bytes()", {"b"}, 1, 1};
constexpr MethodParams kFuzzyMatchParams{"PrefixSearch.fuzzy_match()", {"term", "max_dist", "limit"}, 3, 1};
constexpr MethodParams kFuzzyMatchVideoParams{
    "PrefixSearch.fuzzy_match_video()", {"term", "max_dist", "limit", "include_prefix_nodes"}, 4, 1};

// A strong reference to the object for the length of a method call.
PyRef hold(PyObject* self) {
  if (!PyObject_TypeCheck(self, prefix_search_type())) binding::refuse(self, messages::kPrefixSearch);
  return PyRef::new_ref(self);
}

const Trie& trie_of(const PyRef& held) { return reinterpret_cast<PrefixSearchObject*>(held.get())->trie; }

// Text of a name the interpreter reports, or "<unknown>" when it cannot.
std::string name_or_unknown(PyObject* reported) {
  PyRef name = PyRef::steal(reported);
  Py_ssize_t length = 0;
  const char* text = name && PyUnicode_Check(name.get()) ? PyUnicode_AsUTF8AndSize(name.get(), &length) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return std::string(messages::kUnknownName);
  }
  return std::string(text, static_cast<std::size_t>(length));
}

PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
  return binding::guard<PyObject*>(nullptr, [&]() -> PyObject* {
    std::string module = name_or_unknown(PyType_GetModuleName(type));
    std::string qualname = name_or_unknown(PyType_GetQualName(type));
    binding::raise(PyExc_TypeError, messages::no_constructor(module, qualname));
  });
}

void dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<PrefixSearchObject*>(self)->trie.~Trie();
  type->tp_free(self);
  Py_DECREF(type);  // instances of a heap type own a reference to it
}

// The arguments both query methods share, converted in parameter order.
struct QueryArgs {
  std::string_view term;
  uint32_t max_dist = 1;
  std::optional<uint64_t> limit;
};

QueryArgs convert_query_args(const BoundArgs& args) {
  QueryArgs query;
  query.term = convert_argument("term", [&] { return binding::to_text(args[0]); });
  if (args[1] != nullptr) query.max_dist = convert_argument("max_dist", [&] { return binding::to_u32(args[1]); });
  if (args[2] != nullptr && args[2] != Py_None) {
    query.limit = convert_argument("limit", [&] { return binding::to_usize(args[2]); });
  }
  return query;
}

PyObject* to_bytes(PyObject* self, PyObject*) noexcept {
  return binding::guard<PyObject*>(nullptr, [&] {
    PyRef held = hold(self);
    std::vector<uint8_t> snapshot = trie_of(held).encode();
    return require(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(snapshot.data()),
                                             static_cast<Py_ssize_t>(snapshot.size())));
  });
}

PyObject* from_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  return binding::guard<PyObject*>(nullptr, [&] {
    BoundArgs bound = binding::bind_arguments(kFromBytesParams, args, nargsf, kwnames);
    auto snapshot = convert_argument("b", [&] { return binding::to_byte_string(bound[0]); });
    Result<Trie> trie = Trie::decode(snapshot);
    if (!trie) binding::raise(trie.error());
    return wrap_trie(std::move(*trie));
  });
}

PyObject* fuzzy_match_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  return binding::guard<PyObject*>(nullptr, [&] {
    BoundArgs bound = binding::bind_arguments(kFuzzyMatchParams, args, nargsf, kwnames);
    PyRef held = hold(self);
    QueryArgs query = convert_query_args(bound);
    const Trie& trie = trie_of(held);
    return binding::term_match_list(trie, fuzzy_match(trie, query.term, query.max_dist, query.limit));
  });
}

PyObject* fuzzy_match_video_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                   PyObject* kwnames) noexcept {
  return binding::guard<PyObject*>(nullptr, [&] {
    BoundArgs bound = binding::bind_arguments(kFuzzyMatchVideoParams, args, nargsf, kwnames);
    PyRef held = hold(self);
    QueryArgs query = convert_query_args(bound);
    std::optional<bool> include_prefix_nodes;
    if (bound[3] != nullptr && bound[3] != Py_None) {
      include_prefix_nodes = convert_argument("include_prefix_nodes", [&] { return binding::to_flag(bound[3]); });
    }
    return binding::video_score_list(
        fuzzy_match_video(trie_of(held), query.term, query.max_dist, query.limit, include_prefix_nodes));
  });
}

template <class Function>
PyCFunction as_method(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef methods[] = {
    {"from_internal_data_v2", as_method(from_internal_data_v2), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_internal_data_v2(node_shifts, child_labels, payloads, child_transitions, video_index, video_top_n)\n--\n\n"},
    {"to_bytes", as_method(to_bytes), METH_NOARGS, "to_bytes($self)\n--\n\n"},
    {"from_bytes", as_method(from_bytes), METH_FASTCALL | METH_KEYWORDS | METH_STATIC, "from_bytes(b)\n--\n\n"},
    {"fuzzy_match", as_method(fuzzy_match_method), METH_FASTCALL | METH_KEYWORDS,
     "fuzzy_match(term, max_dist=1, limit=None)\n--\n\n"},
    {"fuzzy_match_video", as_method(fuzzy_match_video_method), METH_FASTCALL | METH_KEYWORDS,
     "fuzzy_match_video(term, max_dist=1, limit=None, include_prefix_nodes=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

// The class has no __module__ entry. A bare spec name would give that, but
// the interpreter warns (DeprecationWarning) while creating such a type, and
// under -W error the import would fail; so the type is created with a dotted
// name and the entry that name puts in its namespace is removed.
PyType_Spec spec{"_corvalind.PrefixSearch", static_cast<int>(sizeof(PrefixSearchObject)), 0, Py_TPFLAGS_DEFAULT,
                 slots};

}  // namespace

PyTypeObject* prefix_search_type() {
  static PyTypeObject* type = nullptr;
  if (type == nullptr) {
    PyObject* created = PyType_FromSpec(&spec);
    if (created != nullptr &&
        PyDict_DelItemString(reinterpret_cast<PyTypeObject*>(created)->tp_dict, "__module__") < 0) {
      Py_CLEAR(created);
    }
    if (created == nullptr) {
      PyErr_PrintEx(0);
      throw InternalFailure(std::string(messages::kTypeCreationFailed));
    }
    type = reinterpret_cast<PyTypeObject*>(created);
    PyType_Modified(type);
  }
  return type;
}

PyObject* wrap_trie(Trie&& trie) {
  PyTypeObject* type = prefix_search_type();
  PyObject* self = binding::pass_on(type->tp_alloc(type, 0));
  new (&reinterpret_cast<PrefixSearchObject*>(self)->trie) Trie(std::move(trie));
  return self;
}

}  // namespace corvalind
