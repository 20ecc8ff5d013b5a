#include "json/document.hpp"

#include <algorithm>
#include <cstring>

#include "json/byte_order.hpp"
#include "json/cursor.hpp"
#include "json/value_reader.hpp"

namespace fenmor::json {

namespace {

bool name_equal(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

}  // namespace

Number Node::number() const noexcept {
  switch (kind_) {
    case NodeKind::U64: return Number::from_u64(u64_);
    case NodeKind::I64: return Number::from_i64(i64_);
    default: return Number::from_f64(f64_);
  }
}

const Node* Node::find(std::string_view name) const noexcept {
  if (kind_ != NodeKind::Object) return nullptr;
  const auto found = std::lower_bound(
      members_, members_ + size_, name,
      [](const Member& member, std::string_view wanted) { return byte_less(member.name, wanted); });
  if (found == members_ + size_ || !name_equal(found->name, name)) return nullptr;
  return &found->value;
}

Node Node::from_bool(bool value) noexcept {
  Node node;
  node.kind_ = NodeKind::Bool;
  node.bool_ = value;
  return node;
}

Node Node::from_number(Number value) noexcept {
  Node node;
  switch (value.kind) {
    case NumberKind::U64: node.kind_ = NodeKind::U64; node.u64_ = value.u64; break;
    case NumberKind::I64: node.kind_ = NodeKind::I64; node.i64_ = value.i64; break;
    case NumberKind::F64: node.kind_ = NodeKind::F64; node.f64_ = value.f64; break;
  }
  return node;
}

Node Node::from_string(const char* data, std::size_t size) noexcept {
  Node node;
  node.kind_ = NodeKind::String;
  node.text_ = data;
  node.size_ = size;
  return node;
}

Node Node::from_elements(const Node* data, std::size_t size) noexcept {
  Node node;
  node.kind_ = NodeKind::Array;
  node.elements_ = data;
  node.size_ = size;
  return node;
}

Node Node::from_members(const Member* data, std::size_t size) noexcept {
  Node node;
  node.kind_ = NodeKind::Object;
  node.members_ = data;
  node.size_ = size;
  return node;
}

namespace {

// Orders an object's members by name and keeps the last of repeated names.
// Returns the number of members kept at the front of the range.
std::size_t sort_members(Member* first, std::size_t count) {
  const auto by_name = [](const Member& a, const Member& b) { return byte_less(a.name, b.name); };
  if (count <= 16) {
    // Typical command objects are small: a stable insertion sort without allocation.
    for (std::size_t i = 1; i < count; ++i) {
      Member moving = first[i];
      std::size_t j = i;
      while (j > 0 && by_name(moving, first[j - 1])) {
        first[j] = first[j - 1];
        --j;
      }
      first[j] = moving;
    }
  } else {
    std::stable_sort(first, first + count, by_name);
  }
  std::size_t kept = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (i + 1 < count && name_equal(first[i + 1].name, first[i].name)) continue;  // a later one wins
    first[kept++] = first[i];
  }
  return kept;
}

}  // namespace

// Collects the values of open containers on the document's pending stacks and
// moves each container into the arena, contiguous, once it closes.
class DocumentBuilder {
 public:
  explicit DocumentBuilder(Document& doc) : doc_(doc) {
    doc_.pending_elements_.clear();
    doc_.pending_members_.clear();
    doc_.open_containers_.clear();
  }

  Node root() const noexcept { return root_; }

  void null() { emit(Node::null()); }
  void boolean(bool value) { emit(Node::from_bool(value)); }
  void number(Number value) { emit(Node::from_number(value)); }
  void string(std::string_view text) { emit(Node::from_string(copy(text), text.size())); }

  void begin_array() { doc_.open_containers_.push_back({doc_.pending_elements_.size(), false}); }
  void end_array() {
    auto& pending = doc_.pending_elements_;
    const std::size_t start = doc_.open_containers_.back().first_pending;
    const std::size_t count = pending.size() - start;
    Node* stored = doc_.arena_.allocate_array<Node>(count);
    std::copy(pending.begin() + static_cast<std::ptrdiff_t>(start), pending.end(), stored);
    pending.resize(start);
    close(Node::from_elements(stored, count));
  }

  void begin_object() { doc_.open_containers_.push_back({doc_.pending_members_.size(), true}); }
  void key(std::string_view name) {
    doc_.pending_members_.push_back(Member{std::string_view(copy(name), name.size()), Node::null()});
  }
  void end_object() {
    auto& pending = doc_.pending_members_;
    const std::size_t start = doc_.open_containers_.back().first_pending;
    const std::size_t kept = sort_members(pending.data() + start, pending.size() - start);
    Member* stored = doc_.arena_.allocate_array<Member>(kept);
    std::copy_n(pending.begin() + static_cast<std::ptrdiff_t>(start), kept, stored);
    pending.resize(start);
    close(Node::from_members(stored, kept));
  }

 private:
  const char* copy(std::string_view text) {
    char* stored = doc_.arena_.allocate_array<char>(text.size());
    if (!text.empty()) std::memcpy(stored, text.data(), text.size());
    return stored;
  }

  void close(Node container) {
    doc_.open_containers_.pop_back();
    emit(container);
  }

  // A finished value goes to the innermost open container, or is the root.
  void emit(Node value) {
    if (doc_.open_containers_.empty()) {
      root_ = value;
    } else if (doc_.open_containers_.back().is_object) {
      doc_.pending_members_.back().value = value;  // its name was pushed by key()
    } else {
      doc_.pending_elements_.push_back(value);
    }
  }

  Document& doc_;
  Node root_;
};

std::expected<const Node*, SyntaxError> parse_document(std::string_view text, Document& into) {
  into.arena_.reset();
  into.root_ = Node::null();
  DocumentBuilder builder(into);
  Cursor cursor(text);
  auto read = read_value(cursor, builder, into.frames_, into.scratch_, max_document_depth);
  if (read) read = cursor.finish();
  if (!read) {
    into.arena_.reset();
    return std::unexpected(read.error());
  }
  into.root_ = builder.root();
  return &into.root_;
}

}  // namespace fenmor::json
