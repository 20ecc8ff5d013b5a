#pragma once
// The module functions of columnar recordings: rows to recording lines and
// recording lines to columns, for `fenmor-radar convert`.

#include "bindings/python.hpp"

namespace fenmor::python {

// row_lines(batch, first_row, /) -> (bytes, [(row, message, field), ...])
PyObject* row_lines_function(PyObject* module, PyObject* const* args, Py_ssize_t count);
// line_columns(data, first_line, /) -> (rows, [(name, type, validity, values, dictionary), ...],
//                                       [(line, message, field), ...])
PyObject* line_columns_function(PyObject* module, PyObject* const* args, Py_ssize_t count);

}  // namespace fenmor::python
