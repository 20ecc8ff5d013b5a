#include "bindings/mapped_file_type.hpp"

#include <cerrno>
#include <string>
#include <utility>

#include "bindings/heap_type.hpp"
#include "bindings/python_errors.hpp"
#include "crates/radar-core/src/replay/mapped_file.hpp"

namespace fenmor::python {

namespace {

// Immutable once made: the mapping goes only with the object, so a caller
// holding a reference may read it without the interpreter lock.
struct MappedFileObject {
  PyObject header;
  replay::MappedFile* file;
};

MappedFileObject* as_mapped(PyObject* self) { return reinterpret_cast<MappedFileObject*>(self); }

PyObject* mapped_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"path", nullptr};
  PyObject* path = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O&:MappedFile", const_cast<char**>(keywords),
                                   PyUnicode_FSConverter, &path)) {
    return nullptr;
  }
  char* bytes = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(path, &bytes, &size) < 0) {
    Py_DecRef(path);
    return nullptr;
  }
  auto file = replay::MappedFile::open(std::string(bytes, static_cast<std::size_t>(size)));
  if (!file) {
    PyObject* name = PyUnicode_DecodeFSDefaultAndSize(bytes, size);
    Py_DecRef(path);
    if (name == nullptr) return nullptr;
    errno = file.error();
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name);
    Py_DecRef(name);
    return nullptr;
  }
  Py_DecRef(path);
  PyObject* self = new_instance(type);
  if (self == nullptr) return nullptr;
  as_mapped(self)->file = new replay::MappedFile(std::move(*file));
  return self;
}

void mapped_dealloc(PyObject* self) {
  delete as_mapped(self)->file;
  as_mapped(self)->file = nullptr;
  free_instance(self);
}

Py_ssize_t mapped_length(PyObject* self) {
  return static_cast<Py_ssize_t>(as_mapped(self)->file->bytes().size());
}

PyObject* mapped_find_newline(PyObject* self, PyObject* start_object) {
  const Py_ssize_t start = PyLong_AsSsize_t(start_object);
  if (start == -1 && PyErr_Occurred()) return nullptr;
  const std::string_view bytes = as_mapped(self)->file->bytes();
  if (start < 0) return raise(PyExc_ValueError, "find_newline() needs start >= 0");
  const auto from = static_cast<std::size_t>(start);
  const std::size_t found = from < bytes.size() ? bytes.find('\n', from) : std::string_view::npos;
  return PyLong_FromSsize_t(found == std::string_view::npos ? -1 : static_cast<Py_ssize_t>(found));
}

constexpr const char* mapped_doc =
    "MappedFile(path)\n--\n\n"
    "A local file's bytes mapped into memory, read-only, for ShardReader.read. The file\n"
    "must not shrink while mapped (reading past its new end kills the process).";

PyMethodDef mapped_methods[] = {
    {"find_newline", mapped_find_newline, METH_O,
     "find_newline($self, start, /)\n--\n\n"
     "The offset of the first line break at or after `start`; -1 when there is none."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot mapped_slots[] = {
    {Py_tp_doc, const_cast<char*>(mapped_doc)},
    {Py_tp_new, as_slot(mapped_new)},
    {Py_tp_dealloc, as_slot(mapped_dealloc)},
    {Py_tp_methods, mapped_methods},
    {Py_sq_length, as_slot(mapped_length)},
    {0, nullptr},
};

PyType_Spec mapped_spec = {
    "fenmor_radar._native.MappedFile",
    static_cast<int>(sizeof(MappedFileObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    mapped_slots,
};

}  // namespace

PyObject* make_mapped_file_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &mapped_spec, nullptr);
}

bool mapped_file_bytes(PyObject* object, std::string_view& bytes) {
  // The type is told by its deallocator: the limited API has no other way
  // to compare with a type made per module.
  if (PyType_GetSlot(Py_TYPE(object), Py_tp_dealloc) != as_slot(mapped_dealloc)) return false;
  bytes = as_mapped(object)->file->bytes();
  return true;
}

}  // namespace fenmor::python
