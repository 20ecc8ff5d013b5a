// The type `Converter` of the module `_native`: vendor CSV files into
// recording lines, the per-row work of `fenmor-radar convert` and `replay --from tardis`.
// Python reads and decompresses the files and hands their bytes over in
// blocks; the rows are parsed, merged by timestamp and written here.
//
// Converter(depth, namer)
//   add_file(path) -> int            a file, numbered in merge order
//   feed(file, data: bytes)          more of its bytes (UnicodeDecodeError if not UTF-8)
//   finish(file)                     no more bytes
//   read_header(file) -> bool        False until its header is whole; ValueError
//                                    naming the file when it is no kind read here
//   kind(file) -> str
//   convert(block_bytes) -> (bytes | None, need, bad_rows)
//   stats() -> (rows, events, bad_rows, rows_back, (file, line) | None)
//
// `namer(raw)` gives the JSON text written for a symbol, once per symbol.
// convert() returns a block of whole lines once it holds block_bytes, with
// need -2; None and need >= 0 when that file must be fed or finished first;
// the last lines and need -1 when all is written. bad_rows lists
// (file, line, message) for the rows skipped meanwhile.

#include "bindings/converter_type.hpp"

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bindings/heap_type.hpp"
#include "bindings/python.hpp"
#include "crates/radar-core/src/convert/converter.hpp"

namespace fenmor::python {

namespace {

using convert::Converter;

struct ConverterObject {
  PyObject header;
  Converter* converter;
  PyObject* namer;
  std::string* pending;  // lines not yet handed out
  bool busy;             // a call is running (the namer must not re-enter)
};

ConverterObject* as_converter(PyObject* self) { return reinterpret_cast<ConverterObject*>(self); }

PyObject* new_str(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape");
}

// Marks the object busy for one call; refuses a call made from inside another.
class Busy {
 public:
  explicit Busy(ConverterObject* self) : self_(self), entered_(!self->busy) {
    if (entered_) self_->busy = true;
    else PyErr_SetString(PyExc_RuntimeError, "Converter is already running a call");
  }
  ~Busy() {
    if (entered_) self_->busy = false;
  }
  Busy(const Busy&) = delete;
  Busy& operator=(const Busy&) = delete;
  bool entered() const { return entered_; }

 private:
  ConverterObject* self_;
  bool entered_;
};

std::optional<std::size_t> file_index(ConverterObject* self, PyObject* argument) {
  const Py_ssize_t index = PyLong_AsSsize_t(argument);
  if (index == -1 && PyErr_Occurred() != nullptr) return std::nullopt;
  if (index >= 0 && static_cast<std::size_t>(index) < self->converter->file_count()) {
    return static_cast<std::size_t>(index);
  }
  PyErr_SetString(PyExc_IndexError, "no such file");
  return std::nullopt;
}

PyObject* raise_not_utf8(const convert::NotUtf8& fault) {
  const std::string reason = "invalid UTF-8 at byte " + std::to_string(fault.offset) + " of the file";
  const char byte = static_cast<char>(fault.byte);
  PyObject* error = PyUnicodeDecodeError_Create("utf-8", &byte, 1, 0, 1, reason.c_str());
  if (error != nullptr) {
    PyErr_SetObject(PyExc_UnicodeDecodeError, error);
    Py_DecRef(error);
  }
  return nullptr;
}

PyObject* converter_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  Py_ssize_t depth = 0;
  PyObject* namer = nullptr;
  if (kwargs != nullptr && PyDict_Size(kwargs) != 0) {
    PyErr_SetString(PyExc_TypeError, "Converter(depth, namer) takes no keyword arguments");
    return nullptr;
  }
  if (PyArg_ParseTuple(args, "nO:Converter", &depth, &namer) == 0) return nullptr;
  if (depth < 1) {
    PyErr_SetString(PyExc_ValueError, "book depth must be at least 1");
    return nullptr;
  }
  if (PyCallable_Check(namer) == 0) {
    PyErr_SetString(PyExc_TypeError, "Converter(): namer must be callable");
    return nullptr;
  }
  PyObject* self = new_instance(type);
  if (self == nullptr) return nullptr;
  ConverterObject* object = as_converter(self);
  Py_IncRef(namer);
  object->namer = namer;
  object->busy = false;
  object->pending = new std::string();
  // The namer runs with the interpreter held: convert() never lets it go.
  object->converter = new Converter(static_cast<std::size_t>(depth), [namer](std::string_view raw) {
    std::optional<std::string> text;
    PyObject* argument = new_str(raw);
    if (argument == nullptr) return text;
    PyObject* result = PyObject_CallFunctionObjArgs(namer, argument, nullptr);
    Py_DecRef(argument);
    if (result == nullptr) return text;
    Py_ssize_t size = 0;
    const char* data = PyUnicode_Check(result) ? PyUnicode_AsUTF8AndSize(result, &size) : nullptr;
    if (data != nullptr) text.emplace(data, static_cast<std::size_t>(size));
    else if (PyErr_Occurred() == nullptr) PyErr_SetString(PyExc_TypeError, "namer must return a str");
    Py_DecRef(result);
    return text;
  });
  return self;
}

void converter_dealloc(PyObject* self) {
  ConverterObject* object = as_converter(self);
  delete object->converter;
  delete object->pending;
  if (object->namer != nullptr) Py_DecRef(object->namer);
  free_instance(self);
}

PyObject* converter_add_file(PyObject* self, PyObject* path) {
  ConverterObject* object = as_converter(self);
  const Busy busy(object);
  if (!busy.entered()) return nullptr;
  if (PyUnicode_Check(path) == 0) {
    PyErr_SetString(PyExc_TypeError, "add_file(): path must be a str");
    return nullptr;
  }
  // Any path round-trips into messages, undecodable bytes included.
  PyObject* encoded = PyUnicode_AsEncodedString(path, "utf-8", "surrogateescape");
  if (encoded == nullptr) return nullptr;
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(encoded, &data, &size) < 0) {
    Py_DecRef(encoded);
    return nullptr;
  }
  const std::size_t index = object->converter->add_file(std::string(data, static_cast<std::size_t>(size)));
  Py_DecRef(encoded);
  return PyLong_FromSize_t(index);
}

PyObject* converter_feed(PyObject* self, PyObject* const* args, Py_ssize_t count) {
  ConverterObject* object = as_converter(self);
  const Busy busy(object);
  if (!busy.entered()) return nullptr;
  if (count != 2 || PyBytes_Check(args[1]) == 0) {
    PyErr_SetString(PyExc_TypeError, "feed(file, data): data must be bytes");
    return nullptr;
  }
  const auto index = file_index(object, args[0]);
  if (!index) return nullptr;
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(args[1], &data, &size) < 0) return nullptr;
  const auto fed = object->converter->feed(*index, std::string_view(data, static_cast<std::size_t>(size)));
  if (!fed) return raise_not_utf8(fed.error());
  Py_RETURN_NONE;
}

PyObject* converter_finish(PyObject* self, PyObject* file) {
  ConverterObject* object = as_converter(self);
  const Busy busy(object);
  if (!busy.entered()) return nullptr;
  const auto index = file_index(object, file);
  if (!index) return nullptr;
  const auto finished = object->converter->finish(*index);
  if (!finished) return raise_not_utf8(finished.error());
  Py_RETURN_NONE;
}

PyObject* converter_read_header(PyObject* self, PyObject* file) {
  ConverterObject* object = as_converter(self);
  const Busy busy(object);
  if (!busy.entered()) return nullptr;
  const auto index = file_index(object, file);
  if (!index) return nullptr;
  const auto ready = object->converter->read_header(*index);
  if (!ready) {
    PyObject* message = new_str(ready.error());
    if (message != nullptr) {
      PyErr_SetObject(PyExc_ValueError, message);
      Py_DecRef(message);
    }
    return nullptr;
  }
  return PyBool_FromLong(*ready ? 1 : 0);
}

PyObject* converter_kind(PyObject* self, PyObject* file) {
  ConverterObject* object = as_converter(self);
  const auto index = file_index(object, file);
  if (!index) return nullptr;
  switch (object->converter->layout(*index).kind) {
    case convert::Kind::DerivativeTicker: return PyUnicode_FromString("derivative_ticker");
    case convert::Kind::BookSnapshot: return PyUnicode_FromString("book_snapshot");
    case convert::Kind::Quotes: return PyUnicode_FromString("quotes");
    case convert::Kind::Liquidations: return PyUnicode_FromString("liquidations");
  }
  Py_RETURN_NONE;
}

// (file, line, message), the message quoting the field as Python's repr does.
PyObject* bad_row_tuple(const convert::BadRow& bad) {
  PyObject* message = new_str(bad.fault.message);
  if (message != nullptr && bad.fault.quoted) {
    PyObject* text = new_str(bad.fault.text);
    PyObject* quoted = text == nullptr ? nullptr : PyObject_Repr(text);
    PyObject* joined = quoted == nullptr ? nullptr : PyUnicode_Concat(message, quoted);
    if (text != nullptr) Py_DecRef(text);
    if (quoted != nullptr) Py_DecRef(quoted);
    Py_DecRef(message);
    message = joined;
  }
  if (message == nullptr) return nullptr;
  PyObject* tuple = Py_BuildValue("(nKN)", static_cast<Py_ssize_t>(bad.file),
                                  static_cast<unsigned long long>(bad.line), message);
  return tuple;
}

PyObject* converter_convert(PyObject* self, PyObject* argument) {
  ConverterObject* object = as_converter(self);
  const Busy busy(object);
  if (!busy.entered()) return nullptr;
  const Py_ssize_t block_bytes = PyLong_AsSsize_t(argument);
  if (block_bytes == -1 && PyErr_Occurred() != nullptr) return nullptr;
  if (block_bytes < 1) {
    PyErr_SetString(PyExc_ValueError, "convert(): block_bytes must be at least 1");
    return nullptr;
  }
  std::vector<convert::BadRow> bad;
  std::string& pending = *object->pending;
  const Converter::Step step =
      object->converter->convert(static_cast<std::size_t>(block_bytes), pending, bad);
  if (step == Converter::Step::NamerFailed) return nullptr;  // the namer's error is set
  PyObject* bad_rows = PyList_New(static_cast<Py_ssize_t>(bad.size()));
  if (bad_rows == nullptr) return nullptr;
  for (std::size_t i = 0; i < bad.size(); ++i) {
    PyObject* row = bad_row_tuple(bad[i]);
    if (row == nullptr) {
      Py_DecRef(bad_rows);
      return nullptr;
    }
    PyList_SetItem(bad_rows, static_cast<Py_ssize_t>(i), row);
  }
  Py_ssize_t need = -2;
  if (step == Converter::Step::NeedInput) need = static_cast<Py_ssize_t>(object->converter->needed());
  if (step == Converter::Step::Done) need = -1;
  PyObject* block = nullptr;
  if (step == Converter::Step::NeedInput || pending.empty()) {
    Py_IncRef(Py_None);
    block = Py_None;
  } else {
    block = PyBytes_FromStringAndSize(pending.data(), static_cast<Py_ssize_t>(pending.size()));
    if (block == nullptr) {
      Py_DecRef(bad_rows);
      return nullptr;
    }
    pending.clear();
  }
  return Py_BuildValue("(NnN)", block, need, bad_rows);
}

PyObject* converter_stats(PyObject* self, PyObject*) {
  const Converter& converter = *as_converter(self)->converter;
  const auto [file, line] = converter.first_back();
  PyObject* first = converter.rows_back() == 0
                        ? Py_NewRef(Py_None)
                        : Py_BuildValue("(nK)", static_cast<Py_ssize_t>(file),
                                        static_cast<unsigned long long>(line));
  if (first == nullptr) return nullptr;
  return Py_BuildValue("(KKKKN)", static_cast<unsigned long long>(converter.rows()),
                       static_cast<unsigned long long>(converter.events()),
                       static_cast<unsigned long long>(converter.bad_rows()),
                       static_cast<unsigned long long>(converter.rows_back()), first);
}

PyMethodDef converter_methods[] = {
    {"add_file", as_cfunction(converter_add_file), METH_O,
     "add_file($self, path, /)\n--\n\nAdd a file; returns its number, its place in ties."},
    {"feed", as_cfunction(converter_feed), METH_FASTCALL,
     "feed($self, file, data, /)\n--\n\nMore bytes of a file."},
    {"finish", as_cfunction(converter_finish), METH_O,
     "finish($self, file, /)\n--\n\nThe file has no more bytes."},
    {"read_header", as_cfunction(converter_read_header), METH_O,
     "read_header($self, file, /)\n--\n\nTrue once the file's layout is known from its header."},
    {"kind", as_cfunction(converter_kind), METH_O,
     "kind($self, file, /)\n--\n\nThe kind of a file whose header was read."},
    {"convert", as_cfunction(converter_convert), METH_O,
     "convert($self, block_bytes, /)\n--\n\n(block or None, need, bad_rows): see the module."},
    {"stats", as_cfunction(converter_stats), METH_NOARGS,
     "stats($self, /)\n--\n\n(rows, events, bad_rows, rows_back, first row back as (file, line) or None) so far."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot converter_slots[] = {
    {Py_tp_doc, const_cast<char*>("Converter(depth, namer)\n--\n\nVendor CSV files into recording lines.")},
    {Py_tp_new, as_slot(converter_new)},
    {Py_tp_dealloc, as_slot(converter_dealloc)},
    {Py_tp_methods, converter_methods},
    {0, nullptr},
};

PyType_Spec converter_spec = {
    "fenmor_radar._native.Converter",
    static_cast<int>(sizeof(ConverterObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    converter_slots,
};

}  // namespace

PyObject* make_converter_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &converter_spec, nullptr);
}

}  // namespace fenmor::python
