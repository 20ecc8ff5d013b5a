"""Files that appear only once complete: written under a temporary name, then renamed.

A write that fails half-way (a full disk, a quota, Ctrl-C, a damaged input)
must not leave a truncated file that looks like a result, and must never
remove what the path named before. The temporary file sits beside the target,
so the rename stays within one file system, and is removed when the write
fails. A target that exists and is not a regular file (``/dev/null``,
``/dev/stdout``, a FIFO) is written to as it is: renaming over it would
replace the device, and removing it after a failure would destroy it. A
symbolic link stays a link to the new file, and a file replaced keeps its
permissions.
"""

from __future__ import annotations

import contextlib
import os
import secrets
import stat
from collections.abc import Iterator
from typing import BinaryIO


@contextlib.contextmanager
def whole_file(path: str) -> Iterator[BinaryIO]:
    """A binary file to write ``path`` through; it becomes ``path`` when the block ends well.

    ``OSError`` when the file cannot be made or written. On any exception the
    temporary file is removed and ``path`` is as it was.
    """
    try:
        existing: os.stat_result | None = os.stat(path)
    except FileNotFoundError:
        existing = None
    if existing is not None and not stat.S_ISREG(existing.st_mode):
        with open(path, "wb") as file:
            yield file
        return
    # A symbolic link stays a link: the file it points to is replaced.
    folder, name = os.path.split(os.path.realpath(path))
    while True:
        temporary = os.path.join(folder, f".{name}.{secrets.token_hex(4)}.part")
        try:
            # 0o666 less the umask, as open() gives: the result's usual permissions.
            fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
            break
        except FileExistsError:
            continue
    try:
        with os.fdopen(fd, "wb") as file:
            if existing is not None:  # a file replaced keeps its permissions
                os.fchmod(file.fileno(), stat.S_IMODE(existing.st_mode))
            yield file
            file.flush()
            os.fsync(file.fileno())
        os.replace(temporary, os.path.join(folder, name))
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


def write_whole_file(path: str, data: bytes) -> None:
    """``data`` as the file ``path``, there only once complete; OSError on failure."""
    with whole_file(path) as file:
        file.write(data)
