#include "bindings/columns_functions.hpp"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "bindings/arrow_batch.hpp"
#include "bindings/python_errors.hpp"
#include "bindings/replay_values.hpp"
#include "crates/radar-core/src/event_schema.hpp"
#include "crates/radar-core/src/replay/line_columns.hpp"
#include "crates/radar-core/src/replay/row_lines.hpp"

namespace fenmor::python {

namespace {

PyObject* bad_list(const std::vector<replay::BadLine>& bad) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(bad.size()));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < bad.size(); ++i) {
    PyObject* field = optional_str(bad[i].field);
    PyObject* item = field == nullptr ? nullptr
                                      : Py_BuildValue("(Ks#O)", static_cast<unsigned long long>(bad[i].number),
                                                      bad[i].message.data(),
                                                      static_cast<Py_ssize_t>(bad[i].message.size()), field);
    if (field != nullptr) Py_DecRef(field);
    if (item == nullptr || PyList_SetItem(list, static_cast<Py_ssize_t>(i), item) < 0) {
      Py_DecRef(list);
      return nullptr;
    }
  }
  return list;
}

bool read_number(PyObject* value, const char* name, std::uint64_t& out) {
  if (!PyLong_Check(value) || PyBool_Check(value)) {
    raise(PyExc_TypeError, std::string(name) + " must be an int");
    return false;
  }
  const unsigned long long number = PyLong_AsUnsignedLongLong(value);
  if (PyErr_Occurred() != nullptr) return false;
  if (number == 0) {
    raise(PyExc_ValueError, std::string(name) + " must be greater than zero");
    return false;
  }
  out = number;
  return true;
}

template <class T>
PyObject* bytes_of(const std::vector<T>& values) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                   static_cast<Py_ssize_t>(values.size() * sizeof(T)));
}

PyObject* names_list(std::span<const std::string_view> names) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(names.size()));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < names.size(); ++i) {
    PyObject* name = new_str(names[i]);
    if (name == nullptr || PyList_SetItem(list, static_cast<Py_ssize_t>(i), name) < 0) {
      Py_DecRef(list);
      return nullptr;
    }
  }
  return list;
}

PyObject* symbols_list(const replay::LineColumns& columns) {
  const std::size_t count = columns.symbol_offsets.size() - 1;
  std::vector<std::string_view> names;
  names.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const auto begin = static_cast<std::size_t>(columns.symbol_offsets[i]);
    const auto end = static_cast<std::size_t>(columns.symbol_offsets[i + 1]);
    names.push_back(std::string_view(columns.symbol_data).substr(begin, end - begin));
  }
  return names_list(names);
}

// (name, type, validity, values, dictionary); steals the references given.
PyObject* column(std::string_view name, const char* type, PyObject* validity, PyObject* values,
                 PyObject* dictionary) {
  PyObject* none = Py_None;
  const auto or_none = [&](PyObject* value) { return value != nullptr ? value : none; };
  PyObject* tuple = nullptr;
  if (values != nullptr) {
    tuple = Py_BuildValue("(s#sOOO)", name.data(), static_cast<Py_ssize_t>(name.size()), type,
                          or_none(validity), values, or_none(dictionary));
  }
  for (PyObject* owned : {validity, values, dictionary}) {
    if (owned != nullptr) Py_DecRef(owned);
  }
  return tuple;
}

PyObject* columns_list(const replay::LineColumns& columns) {
  using namespace event_schema;
  std::vector<PyObject*> items;
  items.push_back(column("symbol", "int32", nullptr, bytes_of(columns.symbol), symbols_list(columns)));
  for (std::size_t n = 0; n < name_count; ++n) {
    if (n == Kind) {
      items.push_back(column(names[n], "int8", nullptr, bytes_of(columns.kind), names_list(tag_names)));
    } else if (n == Ts) {
      items.push_back(column(names[n], "int64", nullptr, bytes_of(columns.ts), nullptr));
    } else if (n == SideName) {
      items.push_back(column(names[n], "int8", bytes_of(columns.side_present), bytes_of(columns.side),
                             names_list(side_names)));
    } else {
      items.push_back(column(names[n], "float64", bytes_of(columns.present[n]), bytes_of(columns.numbers[n]),
                             nullptr));
    }
  }
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(items.size()));
  bool failed = list == nullptr;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (items[i] == nullptr) failed = true;
    if (failed) {
      if (items[i] != nullptr) Py_DecRef(items[i]);
      continue;
    }
    PyList_SetItem(list, static_cast<Py_ssize_t>(i), items[i]);
  }
  if (failed) {
    if (list != nullptr) Py_DecRef(list);
    return nullptr;
  }
  return list;
}

}  // namespace

PyObject* row_lines_function(PyObject* /*module*/, PyObject* const* args, Py_ssize_t count) {
  if (count != 2) return raise(PyExc_TypeError, "row_lines() takes a batch and the number of its first row");
  std::uint64_t first = 0;
  if (!read_number(args[1], "first_row", first)) return nullptr;
  ArrowBatch arrow;
  if (!arrow.open(args[0], "row_lines()")) return nullptr;
  const auto columns = arrow.columns();
  if (!columns) return nullptr;
  std::string lines;
  std::vector<replay::BadLine> bad;
  PyThreadState* thread = PyEval_SaveThread();
  replay::append_row_lines(*columns, first, lines, bad);
  PyEval_RestoreThread(thread);
  PyObject* text = PyBytes_FromStringAndSize(lines.data(), static_cast<Py_ssize_t>(lines.size()));
  PyObject* faults = text == nullptr ? nullptr : bad_list(bad);
  PyObject* result = faults == nullptr ? nullptr : PyTuple_Pack(2, text, faults);
  if (text != nullptr) Py_DecRef(text);
  if (faults != nullptr) Py_DecRef(faults);
  return result;
}

PyObject* line_columns_function(PyObject* /*module*/, PyObject* const* args, Py_ssize_t count) {
  if (count != 2) return raise(PyExc_TypeError, "line_columns() takes bytes and the number of their first line");
  if (!PyBytes_Check(args[0])) return raise_type_mismatch(args[0], "bytes");
  std::uint64_t first = 0;
  if (!read_number(args[1], "first_line", first)) return nullptr;
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(args[0], &data, &size) < 0) return nullptr;
  replay::LineColumnsWriter writer;
  PyThreadState* thread = PyEval_SaveThread();
  writer.append(std::string_view(data, static_cast<std::size_t>(size)), first);
  replay::LineColumns columns = writer.take();
  PyEval_RestoreThread(thread);
  PyObject* list = columns_list(columns);
  PyObject* faults = list == nullptr ? nullptr : bad_list(columns.bad);
  PyObject* result = faults == nullptr ? nullptr
                                       : Py_BuildValue("(KOO)", static_cast<unsigned long long>(columns.rows), list, faults);
  if (list != nullptr) Py_DecRef(list);
  if (faults != nullptr) Py_DecRef(faults);
  return result;
}

}  // namespace fenmor::python
