#include "binding/results.h"

#include <string_view>

#include "binding/boundary.h"
#include "binding/py_ref.h"
#include "error.h"
#include "interrupt.h"

namespace corvalind::binding {
namespace {

template <class... Items>
PyRef tuple_of(Items&&... items) {
  PyRef tuple = PyRef::steal(require(PyTuple_New(sizeof...(Items))));
  Py_ssize_t position = 0;
  (PyTuple_SET_ITEM(tuple.get(), position++, items.release()), ...);
  return tuple;
}

PyRef text_object(std::string_view text) {
  return PyRef::steal(require(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))));
}

PyRef term_tuple(const Trie& trie, const MatchResult& match) {
  long terminal = checked_at(trie.is_terminal, match.node);
  return tuple_of(text_object(match.term), PyRef::steal(require(PyLong_FromLong(terminal))),
                  PyRef::steal(require(PyLong_FromUnsignedLong(match.distance))));
}

}  // namespace

TermTupleCache::TermTupleCache(std::size_t nodes) : tuples_(nodes, nullptr), distances_(nodes, 0) {}

TermTupleCache::~TermTupleCache() {
  for (PyObject* tuple : tuples_) Py_XDECREF(tuple);
}

PyObject* TermTupleCache::tuple(const Trie& trie, const MatchResult& match) {
  PyObject*& slot = checked_at(tuples_, match.node);
  uint32_t& distance = distances_[match.node];
  if (slot == nullptr || distance != match.distance) {
    PyRef made = term_tuple(trie, match);
    Py_XSETREF(slot, made.release());
    distance = match.distance;
  }
  return Py_NewRef(slot);
}

PyObject* term_match_list(const Trie& trie, const std::vector<MatchResult>& matches, TermTupleCache* cache) {
  PyRef list = PyRef::steal(require(PyList_New(static_cast<Py_ssize_t>(matches.size()))));
  InterruptPoll poll;
  for (std::size_t i = 0; i < matches.size(); ++i) {
    const MatchResult& match = matches[i];
    poll.tick(static_cast<int64_t>(match.term.size() / 8) + 1);
    PyObject* entry = cache != nullptr ? cache->tuple(trie, match) : term_tuple(trie, match).release();
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), entry);
  }
  return list.release();
}

PyObject* video_score_list(const std::vector<VideoScore>& scores) {
  PyRef list = PyRef::steal(require(PyList_New(static_cast<Py_ssize_t>(scores.size()))));
  for (std::size_t i = 0; i < scores.size(); ++i) {
    PyRef entry = tuple_of(text_object(scores[i].external_id), PyRef::steal(require(PyFloat_FromDouble(scores[i].score))));
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), entry.release());
  }
  return list.release();
}

}  // namespace corvalind::binding
