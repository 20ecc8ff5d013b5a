"""Text quoted from the input, made safe to show on a terminal.

A recording line, a symbol or a file name is arbitrary text: written raw, one
holding an escape sequence could retitle or clear the user's screen, and a
bidirectional override could make a message read backwards. Every character
Python does not call printable (controls, format characters such as the
bidirectional overrides, line and paragraph separators, lone surrogates of
an undecodable file name, unassigned code points) is written as a hex
escape instead: ``\\x1b``, ``\\x09``, ``\\u202e``, ``\\udcff``. Everything the
command line shows from the input goes through here.
"""

from __future__ import annotations


def _escape(char: str) -> str:
    if char.isprintable():
        return char
    code = ord(char)
    if code < 0x100:
        return f"\\x{code:02x}"
    return f"\\u{code:04x}" if code < 0x10000 else f"\\U{code:08x}"


def printable(text: str) -> str:
    """``text`` with every unprintable character written as an escape (``\\x1b``, ``\\u202e``)."""
    if text.isprintable():
        return text
    return "".join(map(_escape, text))


def printable_lines(text: str) -> str:
    """Like :func:`printable`, but line feeds stay: for multi-line output such as tables."""
    return "\n".join(map(printable, text.split("\n")))
