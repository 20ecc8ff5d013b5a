#pragma once
// The Python type `ShardReader` around replay::ShardReader, and the routing
// hash as a function.

#include "bindings/python.hpp"

namespace fenmor::python {

// A new reference to the type, made for `module`; nullptr with an error set.
PyObject* make_shard_reader_type(PyObject* module);

// symbol_hash(symbol: str) -> int, the module function.
PyObject* symbol_hash_function(PyObject* module, PyObject* symbol);

}  // namespace fenmor::python
