// The one place where C++ failures become Python exceptions.
//
// Every entry point the interpreter calls is a noexcept function whose body
// runs inside guard(). Inside, failures travel as C++ exceptions:
//   PythonError      - a Python exception is already set (bad argument);
//   InternalFailure  - a violated expectation: raised as PanicException;
//   std::bad_alloc   - MemoryError.
// require() turns a C-API call that failed to create an object into an
// internal failure at once, so no NULL goes unchecked.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <string>

#include "error.h"

namespace corvalind::binding {

// Thrown after a Python exception has been set.
struct PythonError {};

// Sets the Python exception for a core Error and throws PythonError.
[[noreturn]] void raise(const Error& error);
// Sets a Python exception of `type` with `message` and throws PythonError.
[[noreturn]] void raise(PyObject* type, const std::string& message);
// Throws PythonError if a Python exception is pending (after a C-API call
// that reports failure through its return value).
inline void throw_if_error() {
  if (PyErr_Occurred()) throw PythonError{};
}

// Returns `object`, or prints the pending error and throws the internal
// failure "Python API call failed" when the call that made it failed.
PyObject* require(PyObject* object);

// Writes the diagnostic to stderr and sets PanicException(message). A
// failure while doing so aborts the process: nothing sound is left then.
void raise_panic(const std::string& message) noexcept;

// Runs `body`; on a C++ exception sets the matching Python exception and
// returns `failure` (NULL or -1, as the slot's convention says).
template <class Result, class Body>
Result guard(Result failure, Body&& body) noexcept {
  try {
    return body();
  } catch (const PythonError&) {
  } catch (const InternalFailure& internal) {
    raise_panic(internal.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& unexpected) {
    raise_panic(unexpected.what());
  } catch (...) {
    raise_panic("unknown C++ exception");
  }
  return failure;
}

}  // namespace corvalind::binding
