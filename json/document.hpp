#pragma once
// The document of a command text: a tree of nodes stored in one arena that the
// Document owns. Strings are copied into the arena with their escapes resolved,
// so a document does not depend on the text it was read from.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "json/arena.hpp"
#include "json/number.hpp"
#include "json/syntax_error.hpp"

namespace fenmor::json {

enum class NodeKind : std::uint8_t { Null, Bool, U64, I64, F64, String, Array, Object };

struct Member;

class Node {
 public:
  Node() noexcept : kind_(NodeKind::Null), size_(0), u64_(0) {}

  NodeKind kind() const noexcept { return kind_; }
  bool is_null() const noexcept { return kind_ == NodeKind::Null; }
  bool is_number() const noexcept {
    return kind_ == NodeKind::U64 || kind_ == NodeKind::I64 || kind_ == NodeKind::F64;
  }

  // Each accessor is valid only for its own kind.
  bool boolean() const noexcept { return bool_; }
  std::uint64_t u64() const noexcept { return u64_; }
  std::int64_t i64() const noexcept { return i64_; }
  double f64() const noexcept { return f64_; }
  Number number() const noexcept;  // the three number kinds
  std::string_view string() const noexcept { return {text_, size_}; }
  std::span<const Node> elements() const noexcept { return {elements_, size_}; }
  // Members in ascending byte order of their names, each name once.
  std::span<const Member> members() const noexcept;

  // The member named `name` of an object node, or nullptr (also for non-objects).
  const Node* find(std::string_view name) const noexcept;

  static Node null() noexcept { return Node(); }
  static Node from_bool(bool value) noexcept;
  static Node from_number(Number value) noexcept;
  static Node from_string(const char* data, std::size_t size) noexcept;
  static Node from_elements(const Node* data, std::size_t size) noexcept;
  static Node from_members(const Member* data, std::size_t size) noexcept;

 private:
  NodeKind kind_;
  std::size_t size_;
  union {
    bool bool_;
    std::uint64_t u64_;
    std::int64_t i64_;
    double f64_;
    const char* text_;
    const Node* elements_;
    const Member* members_;
  };
};

struct Member {
  std::string_view name;
  Node value;
};

inline std::span<const Member> Node::members() const noexcept { return {members_, size_}; }

// Owns the memory of one parsed text. Reusing a Document for the next text
// keeps its arena, so a steady stream of commands stops allocating.
class Document {
 public:
  Document() = default;
  Document(Document&&) noexcept = default;
  Document& operator=(Document&&) noexcept = default;

  const Node& root() const noexcept { return root_; }

 private:
  friend std::expected<const Node*, SyntaxError> parse_document(std::string_view text,
                                                                Document& into);
  friend class DocumentBuilder;
  Arena arena_;
  Node root_;
  // Working space of the reader, kept for the next text: the values of the
  // arrays and objects still open, and where each open container's begin.
  struct OpenContainer {
    std::size_t first_pending;
    bool is_object;
  };
  std::vector<Node> pending_elements_;
  std::vector<Member> pending_members_;
  std::vector<OpenContainer> open_containers_;
  std::vector<std::uint8_t> frames_;
  std::string scratch_;
};

// Nesting deeper than this many arrays and objects fails with
// "recursion limit exceeded"; one level less is read.
inline constexpr std::size_t max_document_depth = 128;

// Reads one JSON value (surrounded by optional whitespace) into `into`,
// replacing what it held. On failure the document is left empty (null root).
std::expected<const Node*, SyntaxError> parse_document(std::string_view text, Document& into);

}  // namespace fenmor::json
