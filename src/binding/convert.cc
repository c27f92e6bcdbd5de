#include "binding/convert.h"

#include <algorithm>
#include <climits>

#include "messages.h"

namespace corvalind::binding {
namespace {

// A sequence may report any size (range(10**12) passes the sequence check);
// trust it only this far when reserving, and let the vector grow beyond.
constexpr std::size_t kMaxReservedItems = std::size_t{1} << 22;

std::string text_of(PyObject* object) {
  Py_ssize_t length = 0;
  const char* text = PyUnicode_AsUTF8AndSize(object, &length);
  pass_on_if(text == nullptr);
  return std::string(text, static_cast<std::size_t>(length));
}

long to_long_in_range(PyObject* object, long max) {
  long value = PyLong_AsLong(object);
  pass_on_if(value == -1 && PyErr_Occurred());
  if (value < 0 || value > max) raise(PyExc_OverflowError, std::string(messages::kOutOfRange));
  return value;
}

bool is_numpy_bool_type(PyTypeObject* type) {
  PyRef name = PyRef::steal(pass_on(PyType_GetName(type)));
  if (PyUnicode_CompareWithASCIIString(name.get(), "bool_") != 0 &&
      PyUnicode_CompareWithASCIIString(name.get(), "bool") != 0) {
    return false;
  }
  PyRef module = PyRef::steal(PyType_GetModuleName(type));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_Check(module.get()) && PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0;
}

}  // namespace

void refuse(PyObject* object, std::string_view target) {
  std::string type_name(messages::kUnknownTypeName);
  PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
  if (qualname && PyUnicode_Check(qualname.get())) {
    Py_ssize_t length = 0;
    if (const char* text = PyUnicode_AsUTF8AndSize(qualname.get(), &length)) {
      type_name.assign(text, static_cast<std::size_t>(length));
    }
  }
  PyErr_Clear();
  raise(PyExc_TypeError, messages::cannot_convert(type_name, target));
}

uint32_t to_u32(PyObject* object) { return static_cast<uint32_t>(to_long_in_range(object, 0xFFFFFFFFL)); }

uint8_t to_byte(PyObject* object) { return static_cast<uint8_t>(to_long_in_range(object, 0xFF)); }

uint64_t to_usize(PyObject* object) {
  PyRef index = PyLong_Check(object) ? PyRef::new_ref(object) : PyRef::steal(pass_on(PyNumber_Index(object)));
  unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  pass_on_if(value == static_cast<unsigned long long>(-1) && PyErr_Occurred());
  return value;
}

std::string_view to_text(PyObject* object) {
  if (!PyUnicode_Check(object)) refuse(object, messages::kPyString);
  Py_ssize_t length = 0;
  const char* text = PyUnicode_AsUTF8AndSize(object, &length);
  pass_on_if(text == nullptr);
  return {text, static_cast<std::size_t>(length)};
}

std::span<const uint8_t> to_byte_string(PyObject* object) {
  if (!PyBytes_Check(object)) refuse(object, messages::kPyBytes);
  return {reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(object)), static_cast<std::size_t>(PyBytes_GET_SIZE(object))};
}

bool to_flag(PyObject* object) {
  if (object == Py_True) return true;
  if (object == Py_False) return false;
  PyTypeObject* type = Py_TYPE(object);
  if (!is_numpy_bool_type(type)) refuse(object, messages::kPyBool);
  inquiry truth = type->tp_as_number != nullptr ? type->tp_as_number->nb_bool : nullptr;
  if (truth == nullptr) {
    PyRef type_text = PyRef::steal(pass_on(PyObject_Str(reinterpret_cast<PyObject*>(type))));
    raise(PyExc_TypeError, messages::no_bool_conversion(text_of(type_text.get())));
  }
  int value = truth(object);
  if (value == 0 || value == 1) return value == 1;
  pass_on_if(PyErr_Occurred() != nullptr);
  raise(PyExc_SystemError, std::string(messages::kBoolNeitherZeroNorOne));
}

std::size_t sequence_capacity(PyObject* object) {
  if (PyUnicode_Check(object)) raise(PyExc_TypeError, std::string(messages::kStrToVec));
  if (!PySequence_Check(object)) refuse(object, messages::kSequence);
  Py_ssize_t size = PySequence_Size(object);
  if (size < 0) {
    // A failed size only costs the hint; an interrupt must not be lost.
    pass_on_if(!PyErr_ExceptionMatches(PyExc_Exception));
    PyErr_Clear();
    return 0;
  }
  return std::min(static_cast<std::size_t>(size), kMaxReservedItems);
}

void add_argument_prefix(std::string_view name) {
  PyRef raised = PyRef::steal(PyErr_GetRaisedException());
  if (!raised || Py_TYPE(raised.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_SetRaisedException(raised.release());
    return;
  }
  PyRef text = PyRef::steal(PyObject_Str(raised.get()));
  if (!text) return;
  PyRef message =
      PyRef::steal(PyUnicode_FromFormat(messages::kArgumentPrefixFormat, std::string(name).c_str(), text.get()));
  if (!message) return;
  PyRef replacement = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!replacement) return;
  if (PyObject* cause = PyException_GetCause(raised.get())) PyException_SetCause(replacement.get(), cause);
  PyErr_SetRaisedException(replacement.release());
}

}  // namespace corvalind::binding
