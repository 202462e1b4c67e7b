#include <Python.h>

#include "python/entry_type.h"
#include "python/store_type.h"

namespace {

// Runs once per module object. The types are process-wide and shared by every
// module object the interpreter creates from this definition.
int module_exec(PyObject* module) noexcept {
  PyTypeObject* entry = pvdb::py::entry_type();
  if (entry == nullptr) return -1;
  if (PyModule_AddObjectRef(module, "VectorEntry", reinterpret_cast<PyObject*>(entry)) < 0) {
    return -1;
  }
  PyTypeObject* store = pvdb::py::store_type();
  if (store == nullptr) return -1;
  if (PyModule_AddObjectRef(module, "VectorStore", reinterpret_cast<PyObject*>(store)) < 0) {
    return -1;
  }
  if (PyModule_AddStringConstant(module, "__version__", "0.1.0") < 0) return -1;
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "pelmor_vector_db",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_pelmor_vector_db() noexcept { return PyModuleDef_Init(&module_def); }
