#pragma once
// The Python type `MappedFile`: a local file mapped into memory, which a
// ShardReader reads in place of a block of bytes.

#include <string_view>

#include "bindings/python.hpp"

namespace fenmor::python {

// A new reference to the type, made for `module`; nullptr with an error set.
PyObject* make_mapped_file_type(PyObject* module);

// Whether `object` is a MappedFile; its bytes then, valid while it lives.
bool mapped_file_bytes(PyObject* object, std::string_view& bytes);

}  // namespace fenmor::python
