// The extension module `_screener`: ScreenerCore, the native base of
// fenmor_radar.Screener. A module of its own, so that `_fenmor_radar` and
// its Radar stay exactly as they are.

#include "bindings/python.hpp"
#include "bindings/screener_core_type.hpp"

namespace fenmor::python {

namespace {

int exec_module(PyObject* module) {
  PyObject* type = make_screener_core_type(module);
  if (type == nullptr) return -1;
  const int status = PyModule_AddObjectRef(module, "ScreenerCore", type);
  Py_DecRef(type);
  if (status < 0) return -1;
  PyObject* all = Py_BuildValue("[s]", "ScreenerCore");
  if (all == nullptr) return -1;
  const int added = PyModule_AddObjectRef(module, "__all__", all);
  Py_DecRef(all);
  return added;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_screener",
    "The native base of fenmor_radar.Screener (`fenmor_radar._screener`).",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace fenmor::python

PyMODINIT_FUNC PyInit__screener() { return PyModuleDef_Init(&fenmor::python::module_definition); }
