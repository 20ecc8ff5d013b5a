#pragma once
// The memory a command needs while it runs (the parsed document, decoded
// events, the reply being written), one set per thread and shared by every
// radar that thread drives. A program with many radars (one per spec while
// tuning) then pays for working memory once per thread, not once per radar,
// and an idle radar holds nothing but its spec and states.
//
// A command never runs inside another on the same thread (nothing calls back
// out of the engine), so one set per thread is never used twice at once. What
// a command leaves in them (its reply, views of its document) is valid until
// the next command of any radar on the same thread.

#include <cstddef>
#include <string>

#include "crates/radar-core/src/event.hpp"
#include "crates/radar-core/src/protocol/quick_command.hpp"
#include "json/document.hpp"

namespace fenmor {

struct WorkingBuffers {
  QuickReader quick;
  json::Document document;
  EventList events;            // "feed_batch" by the document route
  SymbolEvents symbol_events;  // "scan" by the document route
  std::string reply;

  // An empty reply, its buffer let go if an unusually large reply made it
  // large, so that one such reply does not pin megabytes for the thread's
  // life. Steady traffic keeps its buffers and stops allocating.
  std::string& fresh_reply() noexcept {
    // Swapped, not assigned: assigning an empty value keeps the capacity.
    if (reply.capacity() > kept_reply_capacity) std::string().swap(reply);
    reply.clear();
    return reply;
  }
  // The same for what reading a command of `text_size` bytes made large.
  void trim_after(std::size_t text_size) noexcept {
    if (text_size > kept_text_size) release_text_buffers();
  }

 private:
  // A batch of ten thousand events is about a megabyte of text: not unusual,
  // and reading it into fresh memory every time costs a page fault per 4 KiB.
  static constexpr std::size_t kept_text_size = std::size_t{4} << 20;
  // An alerts reply of ten thousand symbols is a few megabytes.
  static constexpr std::size_t kept_reply_capacity = std::size_t{8} << 20;
  void release_text_buffers() noexcept;
};

// The calling thread's set, made on first use and freed when the thread ends.
WorkingBuffers& thread_working_buffers() noexcept;

}  // namespace fenmor
