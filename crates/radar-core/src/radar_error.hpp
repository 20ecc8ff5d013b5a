#pragma once
// The radar's one error value: a kind and a message. Nothing in the engine
// throws; every operation that can fail returns std::expected<T, RadarError>.

#include <cstdint>
#include <string>
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

  // "parse: " or "bad spec: " followed by the message.
  std::string text() const {
    return (kind == ErrorKind::Parse ? "parse: " : "bad spec: ") + message;
  }
};

}  // namespace fenmor
