// Conversion of Python values to plain C++ values, with the refusal messages
// callers see. Every function throws PythonError with the Python exception
// set when it refuses its input.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "binding/boundary.h"
#include "binding/py_ref.h"
#include "interrupt.h"

namespace corvalind::binding {

// TypeError "'{type}' object cannot be converted to '{target}'".
[[noreturn]] void refuse(PyObject* object, std::string_view target);

// An integer through the C long conversion, then range-checked to 0..2^32-1
// (OverflowError "out of range integral type conversion attempted").
uint32_t to_u32(PyObject* object);
// The same with the range 0..255.
uint8_t to_byte(PyObject* object);
// An int directly, anything else through __index__; 0..2^64-1.
uint64_t to_usize(PyObject* object);
// The UTF-8 text of a str, borrowed from the object (valid while it lives).
std::string_view to_text(PyObject* object);
// The buffer of a bytes object, read in place.
std::span<const uint8_t> to_byte_string(PyObject* object);
// True/False, or a numpy boolean scalar's truth.
bool to_flag(PyObject* object);

// Refuses a str and anything that is not a sequence; returns the number of
// elements worth reserving for it (its reported size, capped; 0 when the
// size query fails with an Exception, while any other BaseException, such
// as KeyboardInterrupt, passes on).
std::size_t sequence_capacity(PyObject* object);

// Appends every item of a sequence (iterated, not indexed), converted with
// `convert`. Refuses a str and non-sequences first. Reserves the reported
// size (capped) only into an empty vector; appending to a long one grows it
// geometrically instead. Polls for interrupts as it goes.
template <class T, class Convert>
void append_converted(PyObject* object, std::vector<T>& values, Convert&& convert) {
  std::size_t capacity = sequence_capacity(object);
  if (values.empty()) values.reserve(capacity);
  PyRef iterator = PyRef::steal(pass_on(PyObject_GetIter(object)));
  InterruptPoll poll;
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    values.push_back(convert(item.get()));
    poll.tick();
  }
  pass_on_if(PyErr_Occurred() != nullptr);
  // A sequence that reported more items than it yielded gives the excess
  // back, so lying nested sequences cannot pile up reserved memory.
  if (values.capacity() / 2 > values.size()) values.shrink_to_fit();
}

// A vector of the items of a sequence, converted with `convert`. Items
// converted before a failure are released with the vector.
template <class Convert>
auto to_vector(PyObject* object, Convert&& convert) {
  std::vector<std::invoke_result_t<Convert&, PyObject*>> values;
  append_converted(object, values, convert);
  return values;
}

// Rewrites a pending TypeError (exactly TypeError, not a subclass) as
// "argument '{name}': {message}", keeping its __cause__. Other exceptions
// are left as they are.
void add_argument_prefix(std::string_view name);

// Runs the conversion of one parameter's value under its argument prefix.
template <class Convert>
auto convert_argument(std::string_view name, Convert&& convert) {
  try {
    return convert();
  } catch (const PythonError&) {
    add_argument_prefix(name);
    throw;
  }
}

}  // namespace corvalind::binding
