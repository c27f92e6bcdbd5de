// Owning references to Python objects.
//
// A PyRef owns one strong reference and drops it when destroyed; it is
// move-only, so ownership is always in exactly one place. Borrowed
// references (arguments, items of a tuple we hold) stay plain PyObject*:
// never wrap them without new_ref. steal() takes over a reference that the
// C API returned as new; release() hands ours back to the C API.
#pragma once

#include <Python.h>

#include <utility>

namespace corvalind::binding {

class PyRef {
 public:
  PyRef() = default;
  static PyRef steal(PyObject* object) { return PyRef(object); }
  static PyRef new_ref(PyObject* object) {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyRef old(std::exchange(object_, std::exchange(other.object_, nullptr)));
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  PyObject* release() { return std::exchange(object_, nullptr); }
  void reset() { PyRef old(std::exchange(object_, nullptr)); }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  explicit PyRef(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace corvalind::binding
