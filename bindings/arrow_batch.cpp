#include "bindings/arrow_batch.hpp"

#include "bindings/python_errors.hpp"

namespace fenmor::python {

ArrowBatch::~ArrowBatch() {
  if (pair_ != nullptr) Py_DecRef(pair_);
}

bool ArrowBatch::open(PyObject* batch, const char* function) {
  PyObject* method = PyObject_GetAttrString(batch, "__arrow_c_array__");
  if (method == nullptr) {
    PyErr_Clear();
    std::string message = function;
    message.append(" takes an Arrow record batch (an object with __arrow_c_array__), not '");
    PyObject* type_name = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(batch)), "__name__");
    const char* name = type_name != nullptr ? PyUnicode_AsUTF8AndSize(type_name, nullptr) : nullptr;
    message.append(name != nullptr ? name : "?").append("'");
    if (type_name != nullptr) Py_DecRef(type_name);
    PyErr_Clear();
    raise(PyExc_TypeError, message);
    return false;
  }
  pair_ = PyObject_CallNoArgs(method);
  Py_DecRef(method);
  if (pair_ == nullptr) return false;
  if (!PyTuple_Check(pair_) || PyTuple_Size(pair_) != 2) {
    raise(PyExc_TypeError, "__arrow_c_array__ must return a pair of capsules");
    return false;
  }
  schema_ = static_cast<const ArrowSchema*>(PyCapsule_GetPointer(PyTuple_GetItem(pair_, 0), "arrow_schema"));
  if (schema_ == nullptr) return false;
  array_ = static_cast<const ArrowArray*>(PyCapsule_GetPointer(PyTuple_GetItem(pair_, 1), "arrow_array"));
  return array_ != nullptr;
}

std::optional<replay::EventColumns> ArrowBatch::columns() const {
  auto columns = replay::EventColumns::of(*schema_, *array_);
  if (!columns) {
    raise(PyExc_ValueError, columns.error());
    return std::nullopt;
  }
  return *columns;
}

}  // namespace fenmor::python
