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

}  // namespace

PyObject* term_match_list(const Trie& trie, const std::vector<MatchResult>& matches) {
  PyRef list = PyRef::steal(require(PyList_New(static_cast<Py_ssize_t>(matches.size()))));
  InterruptPoll poll;
  for (std::size_t i = 0; i < matches.size(); ++i) {
    const MatchResult& match = matches[i];
    poll.tick(static_cast<int64_t>(match.term.size() / 8) + 1);
    long terminal = checked_at(trie.is_terminal, match.node);
    PyRef entry = tuple_of(text_object(match.term), PyRef::steal(require(PyLong_FromLong(terminal))),
                           PyRef::steal(require(PyLong_FromUnsignedLong(match.distance))));
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), entry.release());
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
