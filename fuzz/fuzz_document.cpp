// The JSON document reader on arbitrary bytes. Beyond not crashing:
// - a document kept from input to input (its arena reused) reads every text
//   exactly as a fresh one does, success or failure;
// - a failure's position lies inside the text, and its line and column agree
//   with the line feeds before it;
// - a document has its members in ascending byte order, each name once,
//   nests at most 127 levels and holds only finite doubles;
// - a document written back as JSON reads again to the same document;
// - a UTF-8 text gives UTF-8 strings (escapes resolve to valid characters);
// - skipping a value agrees with the document reader but for faults of
//   values (size, surrogates) and depth, which skipping does not look for.

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/check.hpp"
#include "fuzz/reply_reader.hpp"
#include "json/cursor.hpp"
#include "json/document.hpp"
#include "json/format_float.hpp"

namespace {

using fenmor::fuzz::require;
using fenmor::json::Node;
using fenmor::json::NodeKind;

// Doubles written in shortest form may read back one or two units in the
// last place away: the reader rounds twice for long digit strings.
bool close_doubles(double a, double b) {
  if (a == b) return std::signbit(a) == std::signbit(b);
  if (std::signbit(a) != std::signbit(b)) return false;
  const auto x = std::bit_cast<std::uint64_t>(a);
  const auto y = std::bit_cast<std::uint64_t>(b);
  return (x > y ? x - y : y - x) <= 2;
}

enum class Numbers { Exact, Reread };

bool same(const Node& a, const Node& b, Numbers numbers) {
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case NodeKind::Null: return true;
    case NodeKind::Bool: return a.boolean() == b.boolean();
    case NodeKind::U64: return a.u64() == b.u64();
    case NodeKind::I64: return a.i64() == b.i64();
    case NodeKind::F64:
      return numbers == Numbers::Exact
                 ? std::bit_cast<std::uint64_t>(a.f64()) == std::bit_cast<std::uint64_t>(b.f64())
                 : close_doubles(a.f64(), b.f64());
    case NodeKind::String: return a.string() == b.string();
    case NodeKind::Array: {
      const auto x = a.elements();
      const auto y = b.elements();
      if (x.size() != y.size()) return false;
      for (std::size_t i = 0; i < x.size(); ++i) {
        if (!same(x[i], y[i], numbers)) return false;
      }
      return true;
    }
    case NodeKind::Object: {
      const auto x = a.members();
      const auto y = b.members();
      if (x.size() != y.size()) return false;
      for (std::size_t i = 0; i < x.size(); ++i) {
        if (x[i].name != y[i].name || !same(x[i].value, y[i].value, numbers)) return false;
      }
      return true;
    }
  }
  return false;
}

void write_string(std::string& out, std::string_view text) {
  static constexpr char hex[] = "0123456789abcdef";
  out.push_back('"');
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (byte < 0x20) {
      out.append("\\u00");
      out.push_back(hex[byte >> 4]);
      out.push_back(hex[byte & 0xF]);
    } else {
      out.push_back(c);
    }
  }
  out.push_back('"');
}

void write(std::string& out, const Node& node) {
  switch (node.kind()) {
    case NodeKind::Null: out.append("null"); return;
    case NodeKind::Bool: out.append(node.boolean() ? "true" : "false"); return;
    case NodeKind::U64: out.append(std::to_string(node.u64())); return;
    case NodeKind::I64: out.append(std::to_string(node.i64())); return;
    case NodeKind::F64: out.append(fenmor::json::format_float(node.f64())); return;
    case NodeKind::String: write_string(out, node.string()); return;
    case NodeKind::Array: {
      out.push_back('[');
      bool first = true;
      for (const Node& element : node.elements()) {
        if (!first) out.push_back(',');
        first = false;
        write(out, element);
      }
      out.push_back(']');
      return;
    }
    case NodeKind::Object: {
      out.push_back('{');
      bool first = true;
      for (const auto& member : node.members()) {
        if (!first) out.push_back(',');
        first = false;
        write_string(out, member.name);
        out.push_back(':');
        write(out, member.value);
      }
      out.push_back('}');
      return;
    }
  }
}

// Checks the document's own invariants; returns its nesting depth.
std::size_t check_node(const Node& node, bool utf8_text) {
  switch (node.kind()) {
    case NodeKind::F64:
      require(std::isfinite(node.f64()), "a double node is not finite");
      return 0;
    case NodeKind::String:
      if (utf8_text) require(fenmor::fuzz::is_utf8(node.string()), "string is not UTF-8");
      return 0;
    case NodeKind::Array: {
      std::size_t depth = 0;
      for (const Node& element : node.elements()) {
        const std::size_t inner = check_node(element, utf8_text);
        depth = inner > depth ? inner : depth;
      }
      return depth + 1;
    }
    case NodeKind::Object: {
      std::size_t depth = 0;
      const auto members = node.members();
      for (std::size_t i = 0; i < members.size(); ++i) {
        if (i > 0) {
          require(members[i - 1].name < members[i].name,
                  "object members not in ascending byte order, or a name twice",
                  members[i].name);
        }
        if (utf8_text) require(fenmor::fuzz::is_utf8(members[i].name), "name is not UTF-8");
        const std::size_t inner = check_node(members[i].value, utf8_text);
        depth = inner > depth ? inner : depth;
      }
      return depth + 1;
    }
    default: return 0;
  }
}

void check_position(std::string_view text, fenmor::json::Position position) {
  require(position.line >= 1, "line 0");
  // Find where the reported line starts: after its (line - 1)th line feed.
  std::size_t start = 0;
  for (std::size_t line = 1; line < position.line; ++line) {
    const std::size_t feed = text.find('\n', start);
    require(feed != std::string_view::npos, "line beyond the text's line feeds");
    start = feed + 1;
  }
  require(position.column <= text.size() - start, "column beyond the end of the text");
  require(text.substr(start, position.column).find('\n') == std::string_view::npos,
          "column runs past a line feed");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  static fenmor::json::Document reused;
  fenmor::json::Document fresh;
  auto first = fenmor::json::parse_document(text, fresh);
  auto again = fenmor::json::parse_document(text, reused);

  // Skipping holds a value to the grammar alone: it refuses what the document
  // reader refuses, at the same place, unless the document's fault is one of
  // a value's (its size, its escapes) or of its depth.
  fenmor::json::Cursor cursor(text);
  auto skipped = cursor.skip_value();
  if (skipped) skipped = cursor.finish();
  if (first) {
    require(skipped.has_value(), "skipping refuses a document", skipped ? "" : skipped.error().describe());
  } else {
    using fenmor::json::SyntaxCode;
    const SyntaxCode code = first.error().code;
    const bool value_fault = code == SyntaxCode::NumberOutOfRange ||
                             code == SyntaxCode::LoneLeadingSurrogateInHexEscape ||
                             code == SyntaxCode::UnexpectedEndOfHexEscape ||
                             code == SyntaxCode::RecursionLimitExceeded;
    if (!value_fault) {
      require(!skipped && skipped.error().describe() == first.error().describe(),
              "skipping and the document reader fail differently", first.error().describe());
    }
  }

  if (!first) {
    require(!again, "a reused document accepts what a fresh one refuses");
    require(first.error().code == again.error().code &&
                first.error().position.line == again.error().position.line &&
                first.error().position.column == again.error().position.column,
            "a reused document fails differently", again.error().describe());
    require(!fenmor::json::message(first.error().code).empty(), "empty syntax message");
    check_position(text, first.error().position);
    require(reused.root().is_null(), "a failed read leaves a document behind");
    return 0;
  }
  require(again.has_value(), "a reused document refuses what a fresh one accepts",
          again ? std::string_view{} : std::string_view(again.error().describe()));
  require(same(**first, **again, Numbers::Exact), "a reused document reads differently");

  const std::size_t depth = check_node(**first, fenmor::fuzz::is_utf8(text));
  require(depth < fenmor::json::max_document_depth, "document nests beyond the limit");

  std::string written;
  write(written, **first);
  fenmor::json::Document reread;
  auto back = fenmor::json::parse_document(written, reread);
  require(back.has_value(), "a written document does not read again", written);
  require(same(**first, **back, Numbers::Reread), "a written document reads differently",
          written);
  return 0;
}
