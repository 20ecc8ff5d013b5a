#pragma once
// What every heap type of the package's extension modules needs: instances
// made and freed through the base object's slots, and function pointers cast
// the way the interpreter's tables expect.

#include "bindings/python.hpp"

namespace fenmor::python {

// `Pointer` is the slot's function pointer type (newfunc, freefunc).
template <class Pointer>
Pointer base_object_slot(int slot) {
  return reinterpret_cast<Pointer>(PyType_GetSlot(&PyBaseObject_Type, slot));
}

// A new, zeroed instance of `type`; nullptr with the error set on failure.
inline PyObject* new_instance(PyTypeObject* type) {
  PyObject* no_args = PyTuple_New(0);
  if (no_args == nullptr) return nullptr;
  PyObject* self = base_object_slot<newfunc>(Py_tp_new)(type, no_args, nullptr);
  Py_DecRef(no_args);
  return self;
}

// Frees an instance whose native parts are already released.
inline void free_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  base_object_slot<freefunc>(Py_tp_free)(self);
  // Instances of a heap type hold a reference to it.
  Py_DecRef(reinterpret_cast<PyObject*>(type));
}

// A function pointer of another signature goes through void(*)(), the cast
// the interpreter's calling conventions expect.
template <class Function>
PyCFunction as_cfunction(Function* function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

template <class Function>
void* as_slot(Function* function) {
  return reinterpret_cast<void*>(function);
}

}  // namespace fenmor::python
