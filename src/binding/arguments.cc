#include "binding/arguments.h"

#include <string>
#include <vector>

#include "binding/boundary.h"
#include "messages.h"

namespace corvalind::binding {

BoundArgs bind_arguments(const MethodParams& params, PyObject* const* args, Py_ssize_t nargsf,
                         PyObject* kwnames) {
  BoundArgs slots{};
  const std::size_t given = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
  if (given > params.count) {
    raise(PyExc_TypeError, messages::too_many_positional(params.full_name, params.required, params.count, given));
  }
  for (std::size_t i = 0; i < given; ++i) slots[i] = args[i];

  const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* const name = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &length);
    if (text == nullptr) {
      // A name with no UTF-8 form (a lone surrogate) matches no parameter.
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, messages::kUnexpectedKeywordFormat, std::string(params.full_name).c_str(), name);
      throw PythonError{};
    }
    const std::string_view keyword(text, static_cast<std::size_t>(length));
    std::size_t slot = 0;
    while (slot < params.count && params.names[slot] != keyword) ++slot;
    if (slot == params.count) raise(PyExc_TypeError, messages::unexpected_keyword(params.full_name, keyword));
    if (slots[slot] != nullptr) raise(PyExc_TypeError, messages::multiple_values(params.full_name, keyword));
    slots[slot] = args[given + static_cast<std::size_t>(k)];
  }

  std::vector<std::string_view> missing;
  for (std::size_t i = 0; i < params.required; ++i) {
    if (slots[i] == nullptr) missing.push_back(params.names[i]);
  }
  if (!missing.empty()) raise(PyExc_TypeError, messages::missing_arguments(params.full_name, missing));
  return slots;
}

}  // namespace corvalind::binding
