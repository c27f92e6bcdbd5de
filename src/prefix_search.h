// The PrefixSearch class: a Trie owned by a Python object.
#pragma once

#include <Python.h>

#include "prefix/trie/trie.h"

namespace corvalind {

struct PrefixSearchObject {
  PyObject_HEAD
  FinishedTrie trie;
};

// The class object, created on first need and kept for the process.
// Throws on failure (the import then fails with PanicException).
PyTypeObject* prefix_search_type();

// Moves a finished trie into a new PrefixSearch (a new reference).
PyObject* wrap_trie(FinishedTrie&& trie);

// PrefixSearch.from_internal_data_v2 (static, fast call).
PyObject* from_internal_data_v2(PyObject* unused, PyObject* const* args, Py_ssize_t nargsf,
                                PyObject* kwnames) noexcept;

}  // namespace corvalind
