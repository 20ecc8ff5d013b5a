#pragma once
// A record batch handed over through the Arrow PyCapsule interface
// (`__arrow_c_array__`, pyarrow 14 and later, polars, pandas through
// pyarrow): the C structs, held for one call. The capsules release the
// structs when they go; nothing of the batch is copied.

#include <optional>
#include <string>

#include "bindings/python.hpp"
#include "crates/radar-core/src/replay/arrow_abi.hpp"
#include "crates/radar-core/src/replay/event_columns.hpp"

namespace fenmor::python {

class ArrowBatch {
 public:
  ArrowBatch() = default;
  ArrowBatch(const ArrowBatch&) = delete;
  ArrowBatch& operator=(const ArrowBatch&) = delete;
  ~ArrowBatch();

  // Asks `batch` for its structs; false with TypeError set when it offers none.
  bool open(PyObject* batch, const char* function);
  // The event columns of the batch; nothing with ValueError set when a column
  // has a type a recording cannot have.
  std::optional<replay::EventColumns> columns() const;
  // The pair of capsules that owns the batch's memory (borrowed).
  PyObject* capsules() const noexcept { return pair_; }

 private:
  PyObject* pair_ = nullptr;
  const ArrowSchema* schema_ = nullptr;
  const ArrowArray* array_ = nullptr;
};

}  // namespace fenmor::python
