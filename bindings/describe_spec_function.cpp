// describe_spec(spec_json): a spec as the engine reads and compiles it, for
// the tools that explain a spec (the spec check, the report), so that none of
// them re-derives a signal key, a window or a reach in Python. The places of
// its parts are line numbers of the text, for messages that point at them.

#include "bindings/describe_spec_function.hpp"

#include <cstddef>
#include <optional>
#include <string_view>
#include <utility>

#include "bindings/arguments.hpp"
#include "bindings/python_errors.hpp"
#include "bindings/tuple_of.hpp"
#include "crates/radar-core/src/compiled_spec.hpp"
#include "crates/radar-core/src/spec_decode.hpp"
#include "crates/radar-core/src/spec_description.hpp"
#include "json/syntax_error.hpp"

namespace fenmor::python {

namespace {

// The line of an offset, or None.
PyObject* line_of(const json::LineIndex& lines, const std::optional<std::size_t>& offset) {
  if (!offset) Py_RETURN_NONE;
  return PyLong_FromSize_t(lines.line(*offset));
}

PyObject* optional_count(const std::optional<std::uint64_t>& value) {
  if (!value) Py_RETURN_NONE;
  return PyLong_FromUnsignedLongLong(*value);
}

PyObject* signal_dict(const json::LineIndex& lines, const Signal& signal, const SignalDescription& described,
                      const SpecPlaces::Signal& places) {
  const std::string_view kind = name(signal.kind);
  const std::string_view source = event_schema::variant(described.source).tag;
  return Py_BuildValue(
      "{s:N,s:s#,s:N,s:d,s:N,s:s#,s:K,s:d,s:N,s:N,s:N}",
      "key", new_str(described.key),
      "kind", kind.data(), static_cast<Py_ssize_t>(kind.size()),
      "params", tuple_of(signal.params.size(),
                         [&](std::size_t i) { return PyFloat_FromDouble(signal.params[i]); }),
      "weight", signal.weight,
      "lookback", optional_count(described.lookback),
      "source", source.data(), static_cast<Py_ssize_t>(source.size()),
      "samples", static_cast<unsigned long long>(described.samples),
      "reach", described.reach,
      "line", line_of(lines, places.start),
      "params_line", line_of(lines, places.params),
      "weight_line", line_of(lines, places.weight));
}

PyObject* description_dict(std::string_view text, const CompiledSpec& spec, const SpecPlaces& places) {
  const json::LineIndex lines(text);
  const SpecDescription described = describe(spec);
  PyObject* signals = tuple_of(described.signals.size(), [&](std::size_t i) {
    return signal_dict(lines, spec.signals()[i], described.signals[i], places.signal_places[i]);
  });
  PyObject* ignored = tuple_of(places.ignored.size(), [&](std::size_t i) {
    const SpecPlaces::Ignored& member = places.ignored[i];
    return Py_BuildValue("(NNN)", line_of(lines, member.offset), optional_count(member.signal),
                         new_str(member.name));
  });
  const std::vector<std::string>& names = spec.keys().names();
  PyObject* factor_names = tuple_of(names.size(), [&](std::size_t i) { return new_str(names[i]); });
  return Py_BuildValue(
      "{s:N,s:N,s:N,s:d,s:N,s:N,s:K,s:N,s:d,s:N,s:N}",
      "array_form", PyBool_FromLong(places.array_form ? 1 : 0),
      "line", line_of(lines, places.start),
      "signals_line", line_of(lines, places.signals),
      "threshold", spec.threshold(),
      "threshold_line", line_of(lines, places.threshold),
      "limit", optional_count(spec.limit()),
      "window", static_cast<unsigned long long>(spec.window()),
      "factor_names", factor_names,
      "largest_severity", described.largest_severity,
      "signals", signals,
      "ignored", ignored);
}

}  // namespace

PyObject* describe_spec(PyObject* /*module*/, PyObject* spec_json) {
  const auto text = read_text({"describe_spec()", "spec_json"}, spec_json);
  if (!text) return nullptr;
  SpecPlaces places;
  auto decoded = decode_spec_text(*text, &places);
  if (!decoded) return raise(PyExc_ValueError, decoded.error().text());
  auto spec = CompiledSpec::compile(std::move(*decoded));
  if (!spec) return raise(PyExc_ValueError, spec.error().text());
  return description_dict(*text, *spec, places);
}

}  // namespace fenmor::python
