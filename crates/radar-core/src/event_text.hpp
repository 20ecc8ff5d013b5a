#pragma once
// Events read straight from command text, without building a document: the
// route of steady traffic, where parsing is most of the work.
//
// Only the common form is read here: events whose member values are numbers,
// strings or literals (no nested values), with no escape in any name or
// string. Everything else, and every fault, answers false; the
// caller then reads the text as a document, whose decoders give the exact
// result or message. So a true answer must always carry exactly the event
// that decode_event would give for the same text: the last of repeated
// members wins, members that name no field of the variant are ignored, and a
// member named like a field of another variant is ignored too.

#include "crates/radar-core/src/event.hpp"
#include "json/cursor.hpp"

namespace fenmor {

// On '{' or '[' (after whitespace): one event in object or array form.
bool read_event_text(json::Cursor& in, Event& out);

// On '[' (after whitespace): the events of an array, appended to `out`.
bool read_event_list_text(json::Cursor& in, EventList& out);

// A number, a string without escapes or a literal, read and thrown away;
// false for anything else (an escape, a nested value or a fault).
bool skip_scalar_text(json::Cursor& in);

}  // namespace fenmor
