#include "binding/arguments.h"

#include <string>
#include <vector>

#include "binding/boundary.h"

namespace corvalind::binding {
namespace {

std::string quoted(std::string_view name) { return "'" + std::string(name) + "'"; }

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string name_list(const MethodParams& params, const BoundArgs& slots) {
  std::vector<std::string_view> missing;
  for (std::size_t i = 0; i < params.required; ++i) {
    if (slots[i] == nullptr) missing.push_back(params.names[i]);
  }
  std::string list;
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) list += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
    list += quoted(missing[i]);
  }
  return std::to_string(missing.size()) + " required positional " +
         (missing.size() == 1 ? "argument: " : "arguments: ") + list;
}

}  // namespace

BoundArgs bind_arguments(const MethodParams& params, PyObject* const* args, Py_ssize_t nargsf,
                         PyObject* kwnames) {
  BoundArgs slots{};
  const std::size_t given = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
  const std::string full_name(params.full_name);
  if (given > params.count) {
    std::string takes = params.required == params.count
                            ? std::to_string(params.count)
                            : "from " + std::to_string(params.required) + " to " + std::to_string(params.count);
    raise(PyExc_TypeError, full_name + " takes " + takes + " positional arguments but " + std::to_string(given) +
                               (given == 1 ? " was" : " were") + " given");
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
      PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", full_name.c_str(), name);
      throw PythonError{};
    }
    const std::string_view keyword(text, static_cast<std::size_t>(length));
    std::size_t slot = 0;
    while (slot < params.count && params.names[slot] != keyword) ++slot;
    if (slot == params.count) {
      raise(PyExc_TypeError, full_name + " got an unexpected keyword argument " + quoted(keyword));
    }
    if (slots[slot] != nullptr) {
      raise(PyExc_TypeError, full_name + " got multiple values for argument " + quoted(keyword));
    }
    slots[slot] = args[given + static_cast<std::size_t>(k)];
  }

  for (std::size_t i = 0; i < params.required; ++i) {
    if (slots[i] == nullptr) raise(PyExc_TypeError, full_name + " missing " + name_list(params, slots));
  }
  return slots;
}

}  // namespace corvalind::binding
