// corvalind._native: what the fixed surface of _corvalind cannot do, built
// from the same core. It reads the Trie inside a PrefixSearch in place,
// through the capsule _corvalind publishes (binding/c_api.h), and offers
//   ThreadBatch(trie, threads, videos, max_dist, limit, include_prefix_nodes)
//       queries answered on native threads without the interpreter lock:
//       submit(start, queries), collect() -> (start, results), close();
//   stats(trie) -> dict, term_totals(trie, terms) -> list[int].
//
// Threads: the interpreter lock is held only by the caller's thread, which
// converts queries, polls for signals while it waits and builds the result
// objects; the workers never call into the interpreter, and the caller
// releases the lock before it takes any lock of the batch. A ThreadBatch
// refuses a second caller while one call is running, so it holds no state
// that two threads could race on, with or without the interpreter lock.
#include <Python.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/boundary.h"
#include "binding/c_api.h"
#include "binding/convert.h"
#include "binding/py_ref.h"
#include "binding/results.h"
#include "messages.h"
#include "native/thread_batch.h"
#include "native/trie_stats.h"

namespace corvalind {
namespace {

using binding::PyRef;
using binding::require;

const binding::CApi* c_api = nullptr;

// How long the waiting caller sleeps between two looks at pending signals:
// well inside the 100 ms in which Ctrl-C must end a batch.
constexpr std::chrono::milliseconds kSignalPollInterval{10};

// The trie inside `object`, which must be a PrefixSearch.
const Trie& trie_of(PyObject* object) {
  const Trie* trie = c_api->trie_of(object);
  if (trie == nullptr) {
    binding::raise(PyExc_TypeError,
                   "argument 'trie' must be a PrefixSearch, not '" + std::string(Py_TYPE(object)->tp_name) + "'");
  }
  return *trie;
}

// Adds "raised by query {index} of the batch" to the pending exception.
void note_query(long long index) {
  PyObject* error = PyErr_GetRaisedException();
  PyRef note = PyRef::steal(PyUnicode_FromFormat("raised by query %lld of the batch", index));
  PyRef added = note ? PyRef::steal(PyObject_CallMethod(error, "add_note", "O", note.get())) : PyRef();
  if (!added) PyErr_Clear();  // the query's own error matters more than its note
  PyErr_SetRaisedException(error);
}

// Runs `body` without the interpreter lock.
template <class Body>
auto without_lock(Body&& body) {
  PyThreadState* saved = PyEval_SaveThread();
  struct Restore {
    PyThreadState* saved;
    ~Restore() { PyEval_RestoreThread(saved); }
  } restore{saved};
  return body();
}

// ---- ThreadBatch ------------------------------------------------------------

struct ThreadBatchObject {
  PyObject_HEAD
  PyObject* trie_object;  // strong: the workers read its trie
  native::ThreadBatch* batch;
  binding::TermTupleCache* term_tuples;  // made at the first term results
  std::atomic<bool> busy;
};

ThreadBatchObject* as_batch(PyObject* self) { return reinterpret_cast<ThreadBatchObject*>(self); }

// Marks the batch in use for one call; refuses a second caller meanwhile.
class InUse {
 public:
  explicit InUse(PyObject* self) : object_(as_batch(self)) {
    if (object_->busy.exchange(true)) binding::raise(PyExc_RuntimeError, "ThreadBatch is in use by another thread");
  }
  ~InUse() { object_->busy.store(false); }
  InUse(const InUse&) = delete;
  InUse& operator=(const InUse&) = delete;
  native::ThreadBatch& batch() const {
    if (object_->batch == nullptr) binding::raise(PyExc_ValueError, "ThreadBatch is closed");
    return *object_->batch;
  }

 private:
  ThreadBatchObject* object_;
};

void close_batch(ThreadBatchObject* object) {
  if (native::ThreadBatch* batch = std::exchange(object->batch, nullptr)) {
    without_lock([&] { delete batch; });  // stops and joins its workers
  }
  delete std::exchange(object->term_tuples, nullptr);
}

PyObject* batch_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return binding::guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject *trie_object, *threads, *videos, *max_dist, *limit, *flag;
    binding::pass_on_if(kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0 &&
                        (PyErr_SetString(PyExc_TypeError, "ThreadBatch() takes no keyword arguments"), true));
    binding::pass_on_if(!PyArg_UnpackTuple(args, "ThreadBatch", 6, 6, &trie_object, &threads, &videos, &max_dist,
                                           &limit, &flag));
    const Trie& trie = trie_of(trie_object);
    native::QueryOptions options;
    options.videos = binding::convert_argument("videos", [&] { return binding::to_flag(videos); });
    options.max_dist = binding::convert_argument("max_dist", [&] { return binding::to_u32(max_dist); });
    if (limit != Py_None) options.limit = binding::convert_argument("limit", [&] { return binding::to_usize(limit); });
    if (flag != Py_None) {
      options.include_prefix_nodes = binding::convert_argument("include_prefix_nodes", [&] { return binding::to_flag(flag); });
    }
    uint32_t thread_count = binding::convert_argument("threads", [&] { return binding::to_u32(threads); });
    if (thread_count == 0) binding::raise(PyExc_ValueError, "argument 'threads' must be at least 1");
    PyRef self = PyRef::steal(binding::pass_on(type->tp_alloc(type, 0)));
    ThreadBatchObject* object = as_batch(self.get());
    new (&object->busy) std::atomic<bool>(false);
    object->trie_object = Py_NewRef(trie_object);
    object->term_tuples = nullptr;
    object->batch = new native::ThreadBatch(trie, options, thread_count);
    return self.release();
  });
}

void batch_dealloc(PyObject* self) noexcept {
  ThreadBatchObject* object = as_batch(self);
  close_batch(object);
  Py_CLEAR(object->trie_object);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* batch_submit(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return binding::guard<PyObject*>(nullptr, [&]() -> PyObject* {
    InUse use(self);
    native::ThreadBatch& batch = use.batch();
    if (nargs != 2) binding::raise(PyExc_TypeError, "submit() takes exactly 2 arguments");
    long long start = PyLong_AsLongLong(args[0]);
    binding::pass_on_if(start == -1 && PyErr_Occurred());
    // A copy, so that no other thread can change the items under us.
    PyRef items = PyRef::steal(binding::pass_on(PySequence_List(args[1])));
    const Py_ssize_t count = PyList_GET_SIZE(items.get());
    std::vector<std::string> queries;
    queries.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
      try {
        queries.emplace_back(binding::convert_argument("term", [&] { return binding::to_text(PyList_GET_ITEM(items.get(), i)); }));
      } catch (const binding::PythonError&) {
        note_query(start + i);
        throw;
      }
    }
    without_lock([&] { batch.submit(start, std::move(queries)); });
    Py_RETURN_NONE;
  });
}

// The pending Python exception for a chunk that failed, noted with the query.
[[noreturn]] void raise_failure(const native::Chunk& chunk) {
  if (chunk.failure == native::ChunkFailure::kMemory) {
    PyErr_NoMemory();
  } else {
    binding::raise_panic(chunk.failure_message.empty() ? std::string(messages::kUnknownException)
                                                        : chunk.failure_message);
  }
  note_query(chunk.start + static_cast<long long>(chunk.failed_query));
  throw binding::PythonError{};
}

PyObject* chunk_results(ThreadBatchObject* object, bool videos, const native::Chunk& chunk) {
  const Trie& trie = trie_of(object->trie_object);
  if (!videos && object->term_tuples == nullptr) object->term_tuples = new binding::TermTupleCache(trie.node_count());
  const std::size_t count = chunk.queries.size();
  PyRef list = PyRef::steal(require(PyList_New(static_cast<Py_ssize_t>(count))));
  for (std::size_t i = 0; i < count; ++i) {
    PyObject* results = videos ? binding::video_score_list(chunk.videos[i])
                               : binding::term_match_list(trie, chunk.terms[i], object->term_tuples);
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), results);
  }
  return list.release();
}

PyObject* batch_collect(PyObject* self, PyObject*) noexcept {
  return binding::guard<PyObject*>(nullptr, [&]() -> PyObject* {
    InUse use(self);
    native::ThreadBatch& batch = use.batch();
    if (without_lock([&] { return batch.pending(); }) == 0) {
      binding::raise(PyExc_ValueError, "ThreadBatch has no chunk to collect");
    }
    while (!without_lock([&] { return batch.wait_oldest(kSignalPollInterval); })) {
      if (PyErr_CheckSignals() < 0) {
        without_lock([&] { batch.stop(); });
        throw binding::PythonError{};
      }
    }
    std::unique_ptr<native::Chunk> chunk = without_lock([&] { return batch.take_oldest(); });
    if (chunk->failure != native::ChunkFailure::kNone) raise_failure(*chunk);
    PyRef results = PyRef::steal(chunk_results(as_batch(self), batch.options().videos, *chunk));
    PyRef start = PyRef::steal(require(PyLong_FromLongLong(chunk->start)));
    return require(PyTuple_Pack(2, start.get(), results.get()));
  });
}

PyObject* batch_close(PyObject* self, PyObject*) noexcept {
  return binding::guard<PyObject*>(nullptr, [&]() -> PyObject* {
    InUse use(self);
    close_batch(as_batch(self));
    Py_RETURN_NONE;
  });
}

template <class Function>
PyCFunction as_method(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef batch_methods[] = {
    {"submit", as_method(batch_submit), METH_FASTCALL,
     "submit($self, start, queries, /)\n--\n\nQueues a chunk: queries start, start + 1, ... of the batch."},
    {"collect", as_method(batch_collect), METH_NOARGS,
     "collect($self, /)\n--\n\nWaits for the oldest chunk; returns (start, results)."},
    {"close", as_method(batch_close), METH_NOARGS, "close($self, /)\n--\n\nStops and joins the threads."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot batch_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(batch_dealloc)},
    {Py_tp_new, reinterpret_cast<void*>(batch_new)},
    {Py_tp_methods, batch_methods},
    {Py_tp_doc, const_cast<char*>("Queries answered on native threads, chunk by chunk, in submission order.")},
    {0, nullptr},
};

PyType_Spec batch_spec{"corvalind._native.ThreadBatch", static_cast<int>(sizeof(ThreadBatchObject)), 0,
                       Py_TPFLAGS_DEFAULT, batch_slots};

// ---- Statistics ---------------------------------------------------------------

PyObject* stats(PyObject*, PyObject* trie_object) noexcept {
  return binding::guard<PyObject*>(nullptr, [&]() -> PyObject* {
    const native::TrieStats figures = native::trie_stats(trie_of(trie_object));
    PyRef dict = PyRef::steal(require(PyDict_New()));
    auto put = [&](const char* key, PyObject* value) {
      PyRef owned = PyRef::steal(require(value));
      binding::pass_on_if(PyDict_SetItemString(dict.get(), key, owned.get()) < 0);
    };
    put("nodes", PyLong_FromUnsignedLongLong(figures.nodes));
    put("terms", PyLong_FromUnsignedLongLong(figures.terms));
    put("videos", PyLong_FromUnsignedLongLong(figures.videos));
    put("id_mode", PyUnicode_FromStringAndSize(figures.id_mode.data(), static_cast<Py_ssize_t>(figures.id_mode.size())));
    put("payload_entries", PyLong_FromUnsignedLongLong(figures.payload_entries));
    put("depth", PyLong_FromUnsignedLongLong(figures.depth));
    put("snapshot_bytes", PyLong_FromUnsignedLongLong(figures.snapshot_bytes));
    put("memory_bytes", PyLong_FromUnsignedLongLong(figures.memory_bytes));
    return dict.release();
  });
}

PyObject* term_totals(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return binding::guard<PyObject*>(nullptr, [&]() -> PyObject* {
    if (nargs != 2) binding::raise(PyExc_TypeError, "term_totals() takes exactly 2 arguments");
    const Trie& trie = trie_of(args[0]);
    std::vector<std::string> texts = binding::convert_argument(
        "terms", [&] { return binding::to_vector(args[1], [](PyObject* item) { return std::string(binding::to_text(item)); }); });
    std::vector<std::string_view> terms(texts.begin(), texts.end());
    std::vector<uint64_t> totals = native::term_totals(trie, terms);
    PyRef list = PyRef::steal(require(PyList_New(static_cast<Py_ssize_t>(totals.size()))));
    for (std::size_t i = 0; i < totals.size(); ++i) {
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), require(PyLong_FromUnsignedLongLong(totals[i])));
    }
    return list.release();
  });
}

// A list of `values` turned into objects by `make` (each a new reference or NULL).
template <class Vector, class Make>
PyObject* list_of(const Vector& values, Make&& make) {
  PyRef list = PyRef::steal(require(PyList_New(static_cast<Py_ssize_t>(values.size()))));
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), require(make(values[i])));
  }
  return list.release();
}

PyObject* payload_object(const PayloadTable& payloads, std::size_t node) {
  if (!payloads.has(node)) return Py_NewRef(Py_None);
  PayloadView view = payloads.view(node);
  auto number = [](uint32_t value) { return PyLong_FromUnsignedLong(value); };
  PyRef ids = PyRef::steal(list_of(view.video_ids, number));
  PyRef counts = PyRef::steal(list_of(view.video_counts, number));
  return Py_BuildValue("(kOO)", static_cast<unsigned long>(view.total), ids.get(), counts.get());
}

// The stored fields of a trie, as its snapshot holds them.
PyObject* trie_fields(PyObject*, PyObject* trie_object) noexcept {
  return binding::guard<PyObject*>(nullptr, [&]() -> PyObject* {
    const Trie& trie = trie_of(trie_object);
    auto number = [](uint32_t value) { return PyLong_FromUnsignedLong(value); };
    PyRef dict = PyRef::steal(require(PyDict_New()));
    auto put = [&](const char* key, PyObject* value) {
      PyRef owned = PyRef::steal(require(value));
      binding::pass_on_if(PyDict_SetItemString(dict.get(), key, owned.get()) < 0);
    };
    put("node_shifts", list_of(trie.node_shifts, number));
    put("child_labels", list_of(trie.child_labels, [](char32_t label) {
          return PyUnicode_FromOrdinal(static_cast<int>(label));
        }));
    put("child_transitions", list_of(trie.child_transitions, number));
    std::vector<std::size_t> nodes(trie.payloads.size());
    for (std::size_t i = 0; i < nodes.size(); ++i) nodes[i] = i;
    put("payloads", list_of(nodes, [&](std::size_t node) { return payload_object(trie.payloads, node); }));
    put("video_uuids", list_of(trie.video_uuids, [](const Uuid& id) {
          return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(id.data()), 16);
        }));
    put("video_int_ids", list_of(trie.video_int_ids, number));
    put("id_mode", PyUnicode_FromString(trie.id_mode == IdMode::Uuid ? "uuid" : "int32"));
    put("is_terminal", list_of(trie.is_terminal, [](uint8_t flag) { return PyBool_FromLong(flag); }));
    return dict.release();
  });
}

PyMethodDef module_methods[] = {
    {"trie_fields", trie_fields, METH_O,
     "trie_fields(trie, /)\n--\n\nThe trie's stored fields as lists, as its snapshot holds them (for tests and tools)."},
    {"stats", stats, METH_O,
     "stats(trie, /)\n--\n\nNodes, terms, videos, id mode, payload entries, depth, snapshot and memory bytes."},
    {"term_totals", as_method(term_totals), METH_FASTCALL,
     "term_totals(trie, terms, /)\n--\n\nPer term, the payload total of the node where it ends exactly (0 if none)."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "corvalind._native", "Threads and statistics over the trie of a PrefixSearch.", 0,
    module_methods, nullptr, nullptr, nullptr, nullptr,
};

PyObject* initialise() {
  if (c_api == nullptr) {
    auto* imported = static_cast<const binding::CApi*>(PyCapsule_Import(binding::kCApiCapsuleName, 0));
    binding::pass_on_if(imported == nullptr);
    if (imported->abi != binding::kCApiAbi || imported->trie_size != sizeof(Trie)) {
      binding::raise(PyExc_ImportError, "corvalind._native does not match the installed _corvalind: reinstall corvalind");
    }
    c_api = imported;
    binding::install_interrupt_check();
  }
  PyRef module = PyRef::steal(binding::pass_on(PyModule_Create(&module_definition)));
#ifdef Py_GIL_DISABLED
  binding::pass_on_if(PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_NOT_USED) < 0);
#endif
  PyRef type = PyRef::steal(binding::pass_on(PyType_FromModuleAndSpec(module.get(), &batch_spec, nullptr)));
  binding::pass_on_if(PyModule_AddObjectRef(module.get(), "ThreadBatch", type.get()) < 0);
  return module.release();
}

}  // namespace
}  // namespace corvalind

PyMODINIT_FUNC PyInit__native(void) { return corvalind::binding::guard<PyObject*>(nullptr, corvalind::initialise); }
