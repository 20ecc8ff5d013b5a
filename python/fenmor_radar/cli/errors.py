"""Exit codes of the command line, the error that ends a command, and "cannot read FILE: reason"."""

from __future__ import annotations

OK = 0
FAILED = 1  # bad spec, unreadable input, or a replay stopped by --strict
USAGE = 2  # wrong options (argparse's own code)
SKIPPED_LINES = 3  # the replay ran to the end but skipped bad event lines
NOT_NOTIFIED = 4  # the run ended, but --notify could not deliver every notice
INTERRUPTED = 130  # SIGINT
TERMINATED = 143  # SIGTERM
BROKEN_PIPE = 141  # the reader went away: the status of a program ended by SIGPIPE


class CliError(Exception):
    """A failure the user must fix: shown as one message, then the exit code."""

    def __init__(self, message: str, exit_code: int = FAILED) -> None:
        super().__init__(message)
        self.message = message
        self.exit_code = exit_code


def cannot(action: str, name: str, err: Exception) -> str:
    """``cannot read FILE: reason``: the one wording of a file that failed to open, read or write.

    ``action`` is what failed ("read", "write", "write to"); the reason is the
    system's for an ``OSError`` (``No such file or directory``), else the error
    itself (a gzip file that breaks off).
    """
    reason = err.strerror if isinstance(err, OSError) and err.strerror else err
    return f"cannot {action} {name}: {reason}"
