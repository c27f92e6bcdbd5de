// The one place where C++ failures become Python exceptions.
//
// Every entry point the interpreter calls is a noexcept function whose body
// runs inside guard(). Inside, failures travel as C++ exceptions:
//   PythonError      - a Python exception is already set (bad argument);
//   Interrupted      - a core loop was stopped by a signal handler's
//                      exception, which is set (interrupt.h);
//   InternalFailure  - a violated expectation: raised as PanicException;
//   std::bad_alloc   - MemoryError.
// require() turns a C-API call that failed to create an object into an
// exception at once, so no NULL goes unchecked.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <string>

#include "error.h"
#include "interrupt.h"
#include "messages.h"

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

// Returns `object`. When the call that made it failed: with MemoryError
// pending, throws PythonError and leaves it set (running out of memory is
// the caller's to handle, not a bug); otherwise prints the pending error and
// throws the internal failure "Python API call failed".
PyObject* require(PyObject* object);

// Lets the core's long loops see pending signals: installs, for the
// process, a check that runs the interpreter's signal handlers and reports
// whether one raised. Call once, with the interpreter lock held.
void install_interrupt_check() noexcept;

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
  } catch (const Interrupted&) {
  } catch (const InternalFailure& internal) {
    raise_panic(internal.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& unexpected) {
    raise_panic(unexpected.what());
  } catch (...) {
    raise_panic(std::string(messages::kUnknownException));
  }
  return failure;
}

}  // namespace corvalind::binding
