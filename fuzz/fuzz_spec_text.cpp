// The constructor's spec route on arbitrary bytes: the streaming spec reader,
// validation and a radar built from what passes. Beyond not crashing:
// - every failure is a "parse: " text that ends in a position inside the text;
// - the streaming reader and the document reader share one grammar: a spec
//   the streaming reader accepts reads as a document too (unless an ignored
//   member nests beyond the document limit or holds a number out of range or
//   a lone surrogate escape), and decoding that document gives
//   the same spec; a syntax fault of the document reader is one for the
//   streaming reader as well;
// - validation and signal keys never fail on a decoded spec, and a radar built
//   from a valid spec answers "alerts" with no alerts;
// - recording where the parts lie changes nothing, and every recorded place
//   is where such a part starts.

#include <bit>
#include <cstdio>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <utility>

#include "crates/radar-core/src/protocol/radar_handle.hpp"
#include "crates/radar-core/src/spec_decode.hpp"
#include "fuzz/check.hpp"
#include "json/document.hpp"

namespace {

using fenmor::fuzz::require;

bool same_double(double a, double b) {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

bool same_spec(const fenmor::RadarSpec& a, const fenmor::RadarSpec& b) {
  if (a.venues != b.venues || a.symbols != b.symbols || a.limit != b.limit ||
      !same_double(a.threshold, b.threshold) || a.signals.size() != b.signals.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.signals.size(); ++i) {
    const auto& x = a.signals[i];
    const auto& y = b.signals[i];
    if (x.kind != y.kind || !same_double(x.weight, y.weight) ||
        x.params.size() != y.params.size()) {
      return false;
    }
    for (std::size_t k = 0; k < x.params.size(); ++k) {
      if (!same_double(x.params[k], y.params[k])) return false;
    }
  }
  return true;
}

// "... at line L column C" with a place that exists in `text`.
void check_suffix(std::string_view text, std::string_view message) {
  const std::size_t at = message.rfind(" at line ");
  require(at != std::string_view::npos, "spec text failure without a position", message);
  std::size_t line = 0;
  std::size_t column = 0;
  const std::string tail(message.substr(at));
  char rest = 0;
  require(std::sscanf(tail.c_str(), " at line %zu column %zu%c", &line, &column, &rest) == 2,
          "malformed position suffix", message);
  require(line >= 1, "line 0", message);
  std::size_t start = 0;
  for (std::size_t l = 1; l < line; ++l) {
    const std::size_t feed = text.find('\n', start);
    require(feed != std::string_view::npos, "line beyond the text", message);
    start = feed + 1;
  }
  require(column <= text.size() - start, "column beyond the text", message);
}

// A syntax fault that the streaming reader reports as the document reader
// would. Not "expected value" (also its answer to a kind that is neither
// string nor object) nor "trailing characters" (also its answer to an array
// form with too many elements).
bool is_comparable_syntax_fault(std::string_view message) {
  using fenmor::json::SyntaxCode;
  for (auto code = std::to_underlying(SyntaxCode::EofWhileParsingList);
       code <= std::to_underlying(SyntaxCode::RecursionLimitExceeded); ++code) {
    const auto syntax = static_cast<SyntaxCode>(code);
    if (syntax == SyntaxCode::ExpectedSomeValue || syntax == SyntaxCode::TrailingCharacters) continue;
    const std::string_view head = fenmor::json::message(syntax);
    if (message.starts_with(head) && message.substr(head.size()).starts_with(" at line ")) {
      return true;
    }
  }
  return false;
}

// The parameters of a key are plain decimals (digits, '.', '-'), or "inf" and
// "-inf" for those that quantise beyond the largest double.
bool is_plain_key(std::string_view key) {
  const std::size_t open = key.find('(');
  if (open == std::string_view::npos || !key.ends_with(")")) return false;
  std::string_view params = key.substr(open + 1, key.size() - open - 2);
  while (!params.empty()) {
    const std::size_t comma = params.find(',');
    const std::string_view param = params.substr(0, comma);
    if (param.empty()) return false;
    if (param != "inf" && param != "-inf" &&
        param.find_first_not_of("0123456789.-") != std::string_view::npos) {
      return false;
    }
    params = comma == std::string_view::npos ? std::string_view{} : params.substr(comma + 1);
  }
  return true;
}

// Faults of the document reader that the streaming reader does not meet in
// members the spec does not use: those are held to the grammar alone (a
// number of any size, any \u escape) and nest without a limit.
bool is_value_fault(fenmor::json::SyntaxCode code) {
  using fenmor::json::SyntaxCode;
  return code == SyntaxCode::RecursionLimitExceeded || code == SyntaxCode::NumberOutOfRange ||
         code == SyntaxCode::LoneLeadingSurrogateInHexEscape ||
         code == SyntaxCode::UnexpectedEndOfHexEscape;
}

// Recording where a spec's parts lie changes nothing the reader decides, and
// every place it records is where such a part starts in the text.
void check_places(std::string_view text, const std::expected<fenmor::RadarSpec, fenmor::RadarError>& spec) {
  fenmor::SpecPlaces places;
  auto placed = fenmor::decode_spec_text(text, &places);
  require(placed.has_value() == spec.has_value(), "recording places changes the verdict");
  if (!spec) {
    require(placed.error().message == spec.error().message, "recording places changes the message",
            placed.error().message);
    return;
  }
  require(same_spec(*placed, *spec), "recording places changes the spec");
  const auto starts_value = [&](std::size_t at) {
    return at < text.size() && std::string_view("[{\"-0123456789ntf").find(text[at]) != std::string_view::npos;
  };
  require(starts_value(places.start) && text[places.start] == (places.array_form ? '[' : '{'),
          "the spec's place");
  require(places.signals && starts_value(*places.signals), "the signals' place");
  require(!places.threshold || starts_value(*places.threshold), "the threshold's place");
  require(places.signal_places.size() == spec->signals.size(), "one place per signal");
  for (const auto& signal : places.signal_places) {
    require(starts_value(signal.start), "a signal's place");
    require(!signal.params || text[*signal.params] == '[', "a signal's params place");
    require(!signal.weight || starts_value(*signal.weight), "a signal's weight place");
  }
  for (const auto& member : places.ignored) {
    require(member.offset < text.size() && text[member.offset] == '"', "an ignored member's place");
    require(!member.signal || *member.signal < places.signal_places.size(), "an ignored member's signal");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto spec = fenmor::decode_spec_text(text);
  check_places(text, spec);
  fenmor::json::Document document;
  auto root = fenmor::json::parse_document(text, document);

  if (!spec) {
    require(spec.error().kind == fenmor::ErrorKind::Parse, "decoding failure is not a parse error");
    const std::string error = spec.error().text();
    require(error.starts_with("parse: "), "decoding failure text", error);
    check_suffix(text, spec.error().message);
    // Not comparable either: where the member name of an object kind is due,
    // the streaming reader reads a value (the variant identifier), so a name
    // that is not a string, or the end of the text, is a wrong-type fault
    // there, or the syntax fault of reading a value.
    using fenmor::json::SyntaxCode;
    if (!root && !is_value_fault(root.error().code) &&
        root.error().code != SyntaxCode::KeyMustBeAString &&
        root.error().code != SyntaxCode::EofWhileParsingObject &&
        is_comparable_syntax_fault(spec.error().message)) {
      // Both readers meet the same first syntax fault.
      require(spec.error().message == root.error().describe(),
              "the two readers report different syntax faults",
              spec.error().message + " / " + root.error().describe());
    }
    return 0;
  }

  if (!root) {
    require(is_value_fault(root.error().code),
            "the streaming reader accepts a text the document reader refuses",
            root.error().describe());
  } else {
    auto from_document = fenmor::decode_spec_document(**root);
    require(from_document.has_value(), "the document route refuses a spec the text route accepts",
            from_document ? std::string_view{} : std::string_view(from_document.error().message));
    require(same_spec(*spec, *from_document), "the two routes decode different specs");
  }

  for (const auto& signal : spec->signals) {
    const std::string key = fenmor::signal_key(signal);
    require(is_plain_key(key), "signal key is not plain decimal", key);
  }
  auto compiled = fenmor::CompiledSpec::compile(std::move(*spec));
  if (!compiled) {
    require(compiled.error().kind == fenmor::ErrorKind::BadSpec, "validation failure kind");
    return 0;
  }
  fenmor::RadarHandle radar(std::move(*compiled));
  const std::string_view reply = radar.command(R"({"cmd":"alerts"})");
  require(reply == R"({"alerts":[],"scanned":0})", "a new radar has alerts", reply);
  return 0;
}
