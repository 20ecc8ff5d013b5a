#pragma once
// The one way the bindings build a tuple: item by item, released whole when
// an item fails.

#include <cstddef>

#include "bindings/python.hpp"

namespace fenmor::python {

// A tuple of `count` new references made by `item(i)`; nullptr with the
// error set when one of them is.
template <class Item>
PyObject* tuple_of(std::size_t count, Item item) {
  PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(count));
  if (tuple == nullptr) return nullptr;
  for (std::size_t i = 0; i < count; ++i) {
    PyObject* value = item(i);
    if (value == nullptr || PyTuple_SetItem(tuple, static_cast<Py_ssize_t>(i), value) < 0) {
      Py_DecRef(tuple);
      return nullptr;
    }
  }
  return tuple;
}

}  // namespace fenmor::python
