"""Safe output: what every command writes goes through here.

Three promises, kept in one place:

- Text quoted from the input (a recording line, a symbol, a file name) can
  never drive the terminal: every unprintable character of a message or a
  table is written as an escape (``\\x1b``, ``fenmor_radar.printable``), so
  a line holding an escape sequence cannot retitle or clear the user's screen.
- Every message to standard error goes through ``message`` (``error``,
  ``warning``), as one line starting with the program's name.
- A consumer of JSON lines never sees half a line: output is written in
  whole lines, and SIGINT or SIGTERM arriving while a line is being written
  lets that line finish before the program ends (exit 130 or 143).
- A failed write names what failed ("cannot write to standard output: No
  space left on device"); a reader that went away (``| head``) ends the
  program quietly with the exit status of SIGPIPE.
"""

from __future__ import annotations

import errno
import os
import signal
import sys
from collections.abc import Iterator
from contextlib import contextmanager
from types import FrameType
from typing import TextIO, cast

from fenmor_radar.cli import errors
from fenmor_radar.cli.errors import CliError
from fenmor_radar.printable import printable, printable_lines

PROG = "fenmor-radar"
STDOUT_NAME = "standard output"
# Whole lines are handed to the operating system once this much is pending.
FLUSH_AT = 1 << 16

def message(text: str, stream: TextIO | None = None) -> None:
    """Write ``fenmor-radar: text`` on standard error (escaped) as one line."""
    out = stream if stream is not None else sys.stderr
    try:
        out.write(f"{PROG}: {printable(text)}\n")
        out.flush()
    except OSError:
        pass  # nowhere left to say anything


def error(text: str, stream: TextIO | None = None) -> None:
    message(f"error: {text}", stream)


def warning(text: str, stream: TextIO | None = None) -> None:
    message(f"warning: {text}", stream)


# --- signals -----------------------------------------------------------------

SIGNAL_EXIT = {signal.SIGINT: errors.INTERRUPTED, signal.SIGTERM: errors.TERMINATED}


class Stopped(KeyboardInterrupt):
    """SIGINT or SIGTERM arrived: the command ends with ``exit_code`` (130 or 143).

    A ``KeyboardInterrupt``, so that no ``except Exception`` on the way
    swallows it and code that cleans up after Ctrl-C does so for both.
    """

    def __init__(self, signum: int) -> None:
        super().__init__(signal.Signals(signum).name)
        self.signum = signum
        self.exit_code = SIGNAL_EXIT.get(signal.Signals(signum), 128 + signum)


class _Guard:
    """While a line is being written, a stop request waits for the write to end."""

    writing = 0
    pending: int | None = None

    @classmethod
    def handler(cls, signum: int, frame: FrameType | None) -> None:
        if cls.writing:
            cls.pending = signum
            return
        raise Stopped(signum)

    @classmethod
    @contextmanager
    def critical(cls) -> Iterator[None]:
        cls.writing += 1
        try:
            yield
        finally:
            cls.writing -= 1
        if not cls.writing and cls.pending is not None:
            signum, cls.pending = cls.pending, None
            raise Stopped(signum)


def install_signal_handlers() -> None:
    """SIGINT and SIGTERM end the program between lines, never inside one.

    Only the main thread can install handlers; elsewhere this does nothing.
    """
    try:
        for signum in SIGNAL_EXIT:
            signal.signal(signum, _Guard.handler)
    except ValueError:
        pass


# --- whole-line output -------------------------------------------------------


class OutputError(CliError):
    """Writing the output failed (other than a reader that went away)."""


def _write_all(fd: int, data: bytes, name: str) -> None:
    view = memoryview(data)
    with _Guard.critical():
        while view:
            try:
                written = os.write(fd, view)
            except BrokenPipeError:
                raise
            except OSError as err:
                if err.errno == errno.EPIPE:
                    raise BrokenPipeError(errno.EPIPE, os.strerror(errno.EPIPE)) from err
                raise OutputError(errors.cannot("write to", name, err)) from err
            view = view[written:]


class LineWriter:
    """A text stream on a file descriptor that hands the system whole lines only.

    Text is kept until it ends a line; ``flush`` writes every complete line
    and keeps the rest, so an interrupted program leaves no partial line.
    ``escape_controls`` makes it escape control characters (line feeds
    excepted), for output meant for people.
    """

    def __init__(
        self,
        fd: int,
        *,
        name: str = STDOUT_NAME,
        encoding: str = "utf-8",
        escape_controls: bool = False,
    ) -> None:
        self._fd = fd
        self._name = name
        self.encoding = encoding
        self._escape = escape_controls
        self._pending: list[str] = []
        self._size = 0

    def fileno(self) -> int:
        return self._fd

    def isatty(self) -> bool:
        return os.isatty(self._fd)

    def writable(self) -> bool:
        return True

    def write(self, text: str) -> int:
        if self._escape:
            text = printable_lines(text)
        self._pending.append(text)
        self._size += len(text)
        if self._size >= FLUSH_AT:
            self._write_lines()
        return len(text)

    def _write_lines(self, everything: bool = False) -> None:
        if not self._pending:
            return
        text = "".join(self._pending)
        cut = len(text) if everything else text.rfind("\n") + 1
        self._pending = [text[cut:]] if cut < len(text) else []
        self._size = len(text) - cut
        if cut:
            data = text[:cut].encode(self.encoding, "backslashreplace")
            _write_all(self._fd, data, self._name)

    def flush(self) -> None:
        self._write_lines()

    def finish(self) -> None:
        """Write everything, an unfinished last line included."""
        self._write_lines(everything=True)


class ByteLineWriter:
    """Bytes holding whole lines, handed to the system at each ``flush`` (for ``pipe``)."""

    def __init__(self, fd: int, *, name: str = STDOUT_NAME) -> None:
        self._fd = fd
        self._name = name
        self._pending: list[bytes] = []

    def write(self, data: bytes) -> int:
        self._pending.append(data)
        return len(data)

    def flush(self) -> None:
        data = b"".join(self._pending)
        self._pending = []
        _write_all(self._fd, data, self._name)


def standard_output(*, escape_controls: bool = False) -> TextIO:
    """The stream a command writes its results to.

    Standard output itself, wrapped in a :class:`LineWriter`; a replaced
    ``sys.stdout`` (a test capturing output) is used as it is.
    """
    if sys.stdout is not sys.__stdout__ or sys.stdout is None:
        return sys.stdout
    try:
        fd = sys.stdout.fileno()
    except (OSError, ValueError, AttributeError):
        return sys.stdout
    sys.stdout.flush()
    encoding = getattr(sys.stdout, "encoding", None) or "utf-8"
    writer = LineWriter(fd, encoding=encoding, escape_controls=escape_controls)
    return cast(TextIO, writer)


def quiet_broken_pipe() -> int:
    """After the reader went away: silence further output, the SIGPIPE status."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError, AttributeError):
        pass
    return errors.BROKEN_PIPE
