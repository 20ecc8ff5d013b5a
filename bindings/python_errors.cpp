#include "bindings/python_errors.hpp"

#include <cstddef>
#include <string>

namespace fenmor::python {

PyObject* new_str(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* raise(PyObject* type, std::string_view message) {
  PyObject* text = new_str(message);
  if (text == nullptr) return nullptr;  // the decoding error is pending instead
  PyErr_SetObject(type, text);
  Py_DecRef(text);
  return nullptr;
}

PyObject* raise_type_mismatch(PyObject* value, std::string_view expected) {
  std::string message;
  if (value == Py_None) {
    message = "'None' is not an instance of '";
  } else {
    PyObject* name = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__name__");
    if (name == nullptr) return nullptr;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
    message = "'";
    if (utf8 == nullptr) {
      // A type whose name cannot be read still gets the mismatch reported.
      PyErr_Clear();
      message.push_back('?');
    } else {
      message.append(utf8, static_cast<std::size_t>(size));
    }
    Py_DecRef(name);
    message.append("' object is not an instance of '");
  }
  message.append(expected);
  message.push_back('\'');
  return raise(PyExc_TypeError, message);
}

void add_note_to_pending(std::string_view note) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value == nullptr) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  if (traceback != nullptr) PyException_SetTraceback(value, traceback);

  // Interpreters before 3.11 have no notes: the exception goes without one.
  PyObject* add_note = PyObject_GetAttrString(value, "add_note");
  if (add_note == nullptr) {
    PyErr_Clear();
  } else {
    PyObject* text = new_str(note);
    PyObject* result =
        text == nullptr ? nullptr : PyObject_CallFunctionObjArgs(add_note, text, nullptr);
    if (result == nullptr) PyErr_Clear();  // the original error matters more
    if (result != nullptr) Py_DecRef(result);
    if (text != nullptr) Py_DecRef(text);
    Py_DecRef(add_note);
  }
  PyErr_Restore(type, value, traceback);
}

}  // namespace fenmor::python
