"""Files that appear only once complete: written under a temporary name, then renamed.

A write that fails half-way (a full disk, a quota, Ctrl-C) must not leave a
truncated file that looks like a result. The temporary file sits beside the
target, so the rename stays within one file system, and is removed when the
write fails. A target that exists and is not a regular file (``/dev/stdout``,
a FIFO) is written to as it is: renaming over it would replace the device.
"""

from __future__ import annotations

import contextlib
import os
import secrets
import stat


def write_whole_file(path: str, data: bytes) -> None:
    """``data`` as the file ``path``, there only once complete; OSError on failure."""
    try:
        special = not stat.S_ISREG(os.stat(path).st_mode)
    except FileNotFoundError:
        special = False
    if special:
        with open(path, "wb") as file:
            file.write(data)
        return
    folder, name = os.path.split(os.path.abspath(path))
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
            file.write(data)
            file.flush()
            os.fsync(file.fileno())
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise
