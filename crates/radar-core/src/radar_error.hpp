#pragma once
// The radar's one error value: a kind, a message and, for a decoding fault,
// the path of the member it is in. Nothing in the engine throws; every
// operation that can fail returns std::expected<T, RadarError>.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace fenmor {

enum class ErrorKind : std::uint8_t {
  Parse,    // JSON syntax and record decoding
  BadSpec,  // spec validation and every protocol error of the command layer
};

struct RadarError {
  ErrorKind kind;
  std::string message;

  static RadarError parse(std::string message) { return {ErrorKind::Parse, std::move(message)}; }
  static RadarError bad_spec(std::string message) {
    return {ErrorKind::BadSpec, std::move(message)};
  }

  // "parse: " or "bad spec: " followed by the message. The path is never part
  // of it: command replies stay as they are.
  std::string text() const {
    return (kind == ErrorKind::Parse ? "parse: " : "bad spec: ") + message;
  }

  // Where a decoding fault is: member names joined by '.', element indexes as
  // "[i]", e.g. "event.ts", "events[3].qty", "event" for a missing field of
  // the event; empty when the fault has no place (syntax, validation).
  std::string_view path() const noexcept { return path_; }

  // Decoders name the place from the inside out: each level puts its own
  // member name or element index in front of what the level below set.
  RadarError&& in_member(std::string_view name) && {
    path_.insert(0, path_.empty() || path_.front() == '[' ? std::string(name)
                                                          : std::string(name) + '.');
    return std::move(*this);
  }
  RadarError&& in_element(std::size_t index) && {
    path_.insert(0, '[' + std::to_string(index) + ']' +
                        (path_.empty() || path_.front() == '[' ? "" : "."));
    return std::move(*this);
  }

 private:
  RadarError(ErrorKind kind_, std::string message_) : kind(kind_), message(std::move(message_)) {}

  std::string path_;
};

}  // namespace fenmor
