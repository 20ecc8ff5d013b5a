#pragma once
// The field values of one event given as Python values, read by the event
// schema's table: a tuple or list in the array form, a dict holding exactly
// the kind and its fields, or an object whose attributes are the fields. Both
// the event text writer and the screener's native feed read events this way;
// each decides on its own which values it takes as they are.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "bindings/python.hpp"
#include "crates/radar-core/src/event_schema.hpp"

namespace fenmor::python {

// The fields of the longest variant.
inline constexpr std::size_t most_fields = [] {
  std::size_t most = 0;
  for (const event_schema::Variant& variant : event_schema::variants) {
    most = std::max(most, variant.fields.size());
  }
  return most;
}();

// Every member name of the schema as an interned str, made once, so that
// reading a dict or an object does not make a string per field.
using FieldNames = std::array<PyObject*, event_schema::name_count>;
bool intern_field_names(FieldNames& names);  // false with the error set
void release_field_names(FieldNames& names);

// How the instances of one class give their fields fastest: by the data
// descriptors the class holds (a slotted dataclass's members), called
// directly instead of looked up per read. A class without them for every
// field is read by attributes.
class FieldDescriptors {
 public:
  FieldDescriptors() = default;
  FieldDescriptors(const FieldDescriptors&) = delete;
  FieldDescriptors& operator=(const FieldDescriptors&) = delete;
  ~FieldDescriptors() { release(); }

  // False with the error set only on a failure of the interpreter.
  bool load(const FieldNames& names, PyObject* type, const event_schema::Variant& variant);
  void release() noexcept;
  bool loaded() const noexcept { return loaded_; }

 private:
  friend class EventFields;
  std::array<PyObject*, most_fields> descriptors_{};
  std::array<descrgetfunc, most_fields> getters_{};
  PyObject* type_ = nullptr;
  bool loaded_ = false;
};

// One event's variant and its field values in array order. The values are
// borrowed from the event, or owned (and released here) when read from
// attributes.
class EventFields {
 public:
  EventFields() = default;
  EventFields(const EventFields&) = delete;
  EventFields& operator=(const EventFields&) = delete;
  ~EventFields() { release(); }

  // Each answers false, with no Python error pending, when the event is not
  // of that form or lacks a field.
  bool read_sequence(PyObject* event);
  bool read_dict(const FieldNames& names, PyObject* event);
  bool read_attributes(const FieldNames& names, PyObject* event, const event_schema::Variant& variant);
  // An instance of exactly the descriptors' class, by them when loaded.
  bool read_descriptors(const FieldNames& names, PyObject* event, const event_schema::Variant& variant,
                        const FieldDescriptors& descriptors);

  const event_schema::Variant& variant() const noexcept { return *variant_; }
  PyObject* value(std::size_t i) const noexcept { return values_[i]; }

 private:
  // The values as new references from get(i); false when one is missing.
  template <class Get>
  bool read_owned(const event_schema::Variant& variant, Get&& get);
  void release() noexcept;

  const event_schema::Variant* variant_ = nullptr;
  std::array<PyObject*, most_fields> values_{};
  bool owned_ = false;
};

// The variant a str names, or nullptr (for anything but an exact str too).
const event_schema::Variant* variant_named(PyObject* kind);

// An exact int within 64 bits; a bool, an int subclass or a larger int gives
// nothing (no error pending).
std::optional<std::int64_t> exact_int64(PyObject* value);

// An integer of another library (numpy.int64: not an int, but with
// __index__) within 64 bits; nothing for Python's ints, bools and the rest.
std::optional<std::int64_t> index_int64(PyObject* value);

// A float subclass (numpy.float64) or a number with __float__ and without
// __index__ (numpy.float32, Decimal), when finite.
std::optional<double> protocol_double(PyObject* value);

// The Side an exact str "buy" or "sell" names.
std::optional<Side> exact_side(PyObject* value);

}  // namespace fenmor::python
