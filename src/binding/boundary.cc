#include "binding/boundary.h"

#include <cstdio>
#include <cstdlib>

#include "messages.h"

namespace corvalind::binding {
namespace {

PyObject* exception_type(ErrorType type) {
  switch (type) {
    case ErrorType::ValueError: return PyExc_ValueError;
    case ErrorType::TypeError: return PyExc_TypeError;
    case ErrorType::OverflowError: return PyExc_OverflowError;
    case ErrorType::MemoryError: return PyExc_MemoryError;
  }
  return PyExc_SystemError;
}

[[noreturn]] void uncaught_panic() noexcept {
  std::fputs(messages::kUncaughtPanic.data(), stderr);
  std::abort();
}

// Created at the first internal failure and kept for the process.
PyObject* panic_exception_type() noexcept {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "_corvalind.PanicException",
        "Raised when the native code of _corvalind fails unexpectedly.\n\n"
        "Like SystemExit, it derives from BaseException, not Exception, so it usually\n"
        "propagates through the whole stack and ends the interpreter.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

// Sets an exception of `type` whose one argument is `message`; false when
// the text object could not be made (another exception is pending then).
bool set_error(PyObject* type, const std::string& message) noexcept {
  PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (text == nullptr) return false;
  PyErr_SetObject(type, text);
  Py_DECREF(text);
  return true;
}

}  // namespace

void raise(PyObject* type, const std::string& message) {
  set_error(type, message);
  throw PythonError{};
}

void raise(const Error& error) { raise(exception_type(error.type), error.message); }

PyObject* require(PyObject* object) {
  if (object == nullptr) {
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw PythonError{};
    PyErr_Print();
    throw InternalFailure(std::string(messages::kApiCallFailed));
  }
  return object;
}

void install_interrupt_check() noexcept {
  // Signal handlers run on the main thread only; elsewhere this reports none.
  set_interrupt_check([] { return PyErr_CheckSignals() != 0; });
}

void raise_panic(const std::string& message) noexcept {
  std::fprintf(stderr, messages::kInternalFailureFormat, message.c_str());
  PyObject* type = panic_exception_type();
  if (type == nullptr || !set_error(type, message)) uncaught_panic();
}

}  // namespace corvalind::binding
