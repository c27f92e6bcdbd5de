// Binding fast-call arguments to a method's parameters.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <string_view>

namespace corvalind::binding {

inline constexpr std::size_t kMaxParams = 6;

// A method's parameters: all positional-or-keyword, the first `required` of
// them required. `full_name` is "Class.method()" as messages show it.
struct MethodParams {
  std::string_view full_name;
  std::array<std::string_view, kMaxParams> names;
  std::size_t count;
  std::size_t required;
};

// One borrowed reference per parameter; nullptr where the caller gave none.
using BoundArgs = std::array<PyObject*, kMaxParams>;

// Fills the slots from a METH_FASTCALL | METH_KEYWORDS call, or throws
// PythonError with the TypeError of the first binding fault: too many
// positional arguments, a keyword naming a filled or unknown parameter (the
// first offending keyword decides), or required parameters left empty.
BoundArgs bind_arguments(const MethodParams& params, PyObject* const* args, Py_ssize_t nargsf,
                         PyObject* kwnames);

}  // namespace corvalind::binding
