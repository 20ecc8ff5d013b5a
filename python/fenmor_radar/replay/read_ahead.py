"""Reading the next blocks of a recording while the feeder works on this one.

Reading a file and inflating gzip release the interpreter lock, and so does
the feeder: a thread that reads ahead turns their sum into their maximum
(for gzip, decompression is as costly as feeding). The same holds for the
record batches pyarrow decodes from a Parquet recording.
"""

from __future__ import annotations

import queue
import threading
from collections.abc import Iterator
from typing import TypeVar

# Blocks read ahead: enough to ride out an uneven read, few enough that
# memory stays a handful of blocks.
DEPTH = 2
_END = object()
T = TypeVar("T")


def read_ahead(blocks: Iterator[T], depth: int = DEPTH) -> Iterator[T]:
    """The same blocks in the same order, read by a thread up to ``depth`` ahead.

    An exception of ``blocks`` is raised here where it happened, after the
    blocks before it. Leaving the iteration early stops the thread after the
    read in progress.
    """
    ready: queue.Queue[object] = queue.Queue(depth)
    stop = threading.Event()

    def put(item: object) -> bool:
        while not stop.is_set():
            try:
                ready.put(item, timeout=0.1)
                return True
            except queue.Full:
                continue
        return False

    def read() -> None:
        try:
            for block in blocks:
                if not put(block):
                    return
            put(_END)
        except BaseException as err:  # noqa: BLE001 - handed to the reader, raised there
            put(err)

    thread = threading.Thread(target=read, name="fenmor-read-ahead", daemon=True)
    thread.start()
    try:
        while True:
            item = ready.get()
            if item is _END:
                return
            if isinstance(item, BaseException):
                raise item
            yield item  # type: ignore[misc]
    finally:
        stop.set()
