"""A JSON reader that remembers the line of every value and member name.

Python's own reader forgets where things were; the spec check needs to say
"spec.json:7: signals[1].wieght". It reads texts that the radar has already
accepted, so it only needs to be right on valid JSON: on anything else it
raises ``ValueError``.
"""

from __future__ import annotations

import json
import re
from dataclasses import dataclass, field

_WHITESPACE = re.compile(r"[ \t\n\r]*")
_STRING = re.compile(r'"(?:[^"\\]|\\.)*"', re.DOTALL)
_NUMBER = re.compile(r"-?(?:0|[1-9][0-9]*)(\.[0-9]+)?([eE][-+]?[0-9]+)?")
_LITERALS = {"true": True, "false": False, "null": None}


@dataclass(frozen=True, slots=True)
class Member:
    name: str
    line: int  # of the member's name
    value: Node


@dataclass(frozen=True, slots=True)
class Node:
    """A value with its line. Objects keep their members in text order."""

    line: int
    value: object = None  # the scalar; None for arrays and objects
    items: list[Node] | None = None  # an array's elements
    members: list[Member] | None = None  # an object's members
    text: str = field(default="")  # a number as written

    def member(self, name: str) -> Member | None:
        for item in self.members or []:
            if item.name == name:
                return item
        return None


class _Reader:
    def __init__(self, text: str) -> None:
        self.text = text
        self.pos = 0

    def line(self) -> int:
        return self.text.count("\n", 0, self.pos) + 1

    def skip(self) -> None:
        match = _WHITESPACE.match(self.text, self.pos)
        self.pos = match.end() if match else self.pos

    def fail(self, what: str) -> ValueError:
        return ValueError(f"{what} at line {self.line()}")

    def value(self) -> Node:
        self.skip()
        line = self.line()
        char = self.text[self.pos : self.pos + 1]
        if char == "{":
            return self.object(line)
        if char == "[":
            return self.array(line)
        if char == '"':
            return Node(line, self.string())
        number = _NUMBER.match(self.text, self.pos)
        if number and number.end() > self.pos:
            self.pos = number.end()
            written = number.group()
            whole = number.group(1) is None and number.group(2) is None
            return Node(line, int(written) if whole else float(written), text=written)
        for word, literal in _LITERALS.items():
            if self.text.startswith(word, self.pos):
                self.pos += len(word)
                return Node(line, literal, text=word)
        raise self.fail("expected a value")

    def string(self) -> str:
        match = _STRING.match(self.text, self.pos)
        if match is None:
            raise self.fail("unterminated string")
        self.pos = match.end()
        value = json.loads(match.group())
        if not isinstance(value, str):
            raise self.fail("expected a string")
        return value

    def array(self, line: int) -> Node:
        self.pos += 1
        items: list[Node] = []
        self.skip()
        if self.text.startswith("]", self.pos):
            self.pos += 1
            return Node(line, items=items)
        while True:
            items.append(self.value())
            self.skip()
            char = self.text[self.pos : self.pos + 1]
            self.pos += 1
            if char == "]":
                return Node(line, items=items)
            if char != ",":
                raise self.fail("expected , or ]")

    def object(self, line: int) -> Node:
        self.pos += 1
        members: list[Member] = []
        self.skip()
        if self.text.startswith("}", self.pos):
            self.pos += 1
            return Node(line, members=members)
        while True:
            self.skip()
            if not self.text.startswith('"', self.pos):
                raise self.fail("expected a member name")
            name_line = self.line()
            name = self.string()
            self.skip()
            if not self.text.startswith(":", self.pos):
                raise self.fail("expected :")
            self.pos += 1
            members.append(Member(name, name_line, self.value()))
            self.skip()
            char = self.text[self.pos : self.pos + 1]
            self.pos += 1
            if char == "}":
                return Node(line, members=members)
            if char != ",":
                raise self.fail("expected , or }")


def read(text: str) -> Node:
    """The JSON value of ``text`` with lines; ``ValueError`` on text that is not JSON."""
    reader = _Reader(text)
    node = reader.value()
    reader.skip()
    if reader.pos != len(text):
        raise reader.fail("trailing characters")
    return node
