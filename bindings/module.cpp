// The extension module `_fenmor_radar`: multi-phase initialisation, whose one
// execution step adds `__version__` and the `Radar` class and lists both in
// `__all__`.

#include <string_view>

#include "bindings/python.hpp"
#include "bindings/python_errors.hpp"
#include "bindings/radar_type.hpp"
#include "crates/radar-core/src/version.hpp"

namespace fenmor::python {

namespace {

// Appends `name` to the module's `__all__` (made as an empty list when it
// does not exist yet), then sets the attribute.
int add_name(PyObject* module, const char* name, PyObject* value) {
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr) return -1;
    if (PyObject_SetAttrString(module, "__all__", all) < 0) {
      Py_DecRef(all);
      return -1;
    }
  } else if (!PyList_Check(all)) {
    raise_type_mismatch(all, "list");
    Py_DecRef(all);
    return -1;
  }
  PyObject* key = PyUnicode_FromString(name);
  int status = key == nullptr ? -1 : PyList_Append(all, key);
  if (status == 0) status = PyObject_SetAttr(module, key, value);
  if (key != nullptr) Py_DecRef(key);
  Py_DecRef(all);
  return status;
}

int exec_module(PyObject* module) {
  if (!PyType_IsSubtype(Py_TYPE(module), &PyModule_Type)) {
    raise_type_mismatch(module, "module");
    return -1;
  }
  PyObject* version = PyUnicode_FromStringAndSize(
      library_version.data(), static_cast<Py_ssize_t>(library_version.size()));
  if (version == nullptr) return -1;
  const int status = add_name(module, "__version__", version);
  Py_DecRef(version);
  if (status < 0) return -1;

  PyObject* radar = radar_type();
  if (radar == nullptr) return -1;
  return add_name(module, "Radar", radar);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_fenmor_radar",
    "The native module (`fenmor_radar._fenmor_radar`).",
    0,  // no per-module state
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace fenmor::python

PyMODINIT_FUNC PyInit__fenmor_radar() { return PyModuleDef_Init(&fenmor::python::module_definition); }
