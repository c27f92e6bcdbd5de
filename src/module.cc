// Module initialisation: one interpreter, one module object, one class.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "binding/boundary.h"
#include "binding/c_api.h"
#include "binding/py_ref.h"
#include "messages.h"
#include "prefix_search.h"

namespace corvalind {
namespace {

using binding::PyRef;

// The interpreter that first imported the module; -1 until one has.
std::atomic<int64_t> owning_interpreter{-1};

// Kept for the process once an initialisation has succeeded.
PyObject* module_object = nullptr;

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_corvalind",
    "",  // an empty docstring, not an absent one
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

const Trie* trie_of_object(PyObject* object) {
  if (!PyObject_TypeCheck(object, prefix_search_type())) return nullptr;
  return &reinterpret_cast<PrefixSearchObject*>(object)->trie;
}

constinit const binding::CApi c_api{binding::kCApiAbi, sizeof(Trie), trie_of_object};

void run_module_body(PyObject* module) {
  PyTypeObject* type = prefix_search_type();
  PyRef all = PyRef::steal(binding::pass_on(PyList_New(0)));
  PyRef name = PyRef::steal(binding::pass_on(PyUnicode_FromString("PrefixSearch")));
  binding::pass_on_if(PyList_Append(all.get(), name.get()) < 0 ||
                      PyModule_AddObjectRef(module, "__all__", all.get()) < 0 ||
                      PyModule_AddObjectRef(module, "PrefixSearch", reinterpret_cast<PyObject*>(type)) < 0);
  // Not in __all__: for corvalind._native alone.
  PyRef capsule = PyRef::steal(binding::pass_on(
      PyCapsule_New(const_cast<binding::CApi*>(&c_api), binding::kCApiCapsuleName, nullptr)));
  binding::pass_on_if(PyModule_AddObjectRef(module, "_C_API", capsule.get()) < 0);
}

PyObject* initialise() {
  int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  binding::pass_on_if(id == -1);
  int64_t expected = -1;
  if (!owning_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    binding::raise(PyExc_ImportError, std::string(messages::kNoSubInterpreters));
  }
  if (module_object != nullptr) return Py_NewRef(module_object);

  binding::install_interrupt_check();
  PyRef module = PyRef::steal(binding::pass_on(PyModule_Create(&module_definition)));
#ifdef Py_GIL_DISABLED
  binding::pass_on_if(PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_USED) < 0);
#endif
  run_module_body(module.get());
  module_object = module.release();
  return Py_NewRef(module_object);
}

}  // namespace
}  // namespace corvalind

PyMODINIT_FUNC PyInit__corvalind(void) {
  return corvalind::binding::guard<PyObject*>(nullptr, corvalind::initialise);
}
