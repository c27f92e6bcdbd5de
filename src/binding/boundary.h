// The one place where C++ failures become Python exceptions.
//
// Every entry point the interpreter calls is a noexcept function whose body
// runs inside guard(). Inside, failures travel as C++ exceptions:
//   PythonError      - a Python exception is already set (bad argument);
//   Interrupted      - a core loop was stopped by a signal handler's
//                      exception, which is set (interrupt.h);
//   InternalFailure  - a violated expectation: raised as PanicException;
//   std::bad_alloc   - MemoryError.
//
// A C-API call that fails says so by its return value, and every call site
// turns that into one of these exceptions by one rule:
//   - Creating a result object for the caller (the tuples, lists, numbers,
//     text and bytes a method returns): require(object). Such a failure is
//     an internal failure, "Python API call failed" after the pending error
//     is printed, except that a MemoryError the interpreter raised passes on
//     as MemoryError: running out of memory is the caller's to handle.
//   - Any other call, whose exception the caller should see (converting an
//     argument, creating the module, allocating the instance):
//     pass_on(object) or pass_on_if(failed), which leave it set and throw
//     PythonError.
// Creating the PrefixSearch type is the one call outside this rule: without
// the type nothing works, so its failure is an internal failure with its
// own text (messages::kTypeCreationFailed), whatever the interpreter raised.
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

// A result object: returns `object`. When the call that made it failed:
// with MemoryError pending, throws PythonError and leaves it set; otherwise
// prints the pending error and throws the internal failure "Python API call
// failed".
PyObject* require(PyObject* object);

// Any other call: returns `object`, or throws PythonError when it is NULL,
// leaving the interpreter's exception set.
inline PyObject* pass_on(PyObject* object) {
  if (object == nullptr) throw PythonError{};
  return object;
}

// Throws PythonError, leaving the interpreter's exception set, when the call
// whose result was tested `failed`.
inline void pass_on_if(bool failed) {
  if (failed) throw PythonError{};
}

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
