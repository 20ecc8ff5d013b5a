#pragma once
// The state of the module `_fenmor_replay`: its types and interned tags.

#include "bindings/python.hpp"

namespace fenmor::python {

struct ReplayModuleState {
  PyObject* line_feeder_type;
  PyObject* shard_reader_type;
  PyObject* checkpoint_tag;  // "checkpoint"
  PyObject* bad_tag;         // "bad"
};

}  // namespace fenmor::python
