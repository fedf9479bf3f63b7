"""The output file of a batch run: what it already holds, and the appender.

Lines are appended whole, one ``write`` each, and reach the operating system
before the next row is taken, so a process killed at any moment leaves every
finished row on disk and at most one torn line at the end.  The torn line is
cut off when the file is opened again (the row it belonged to runs again);
a last line that is complete but lacks its newline only gets the newline.
"""

from __future__ import annotations

import json
import os
import threading
from collections.abc import Collection
from dataclasses import dataclass, field

from quorvel.batch.records import is_failure
from quorvel.batch.rows import BatchInputError

__all__ = ["Existing", "repair", "scan", "drop_failed", "Appender"]


@dataclass
class Existing:
    """The rows an output file already has a line for."""

    answered: set[str] = field(default_factory=set)
    failed: set[str] = field(default_factory=set)


def repair(path: str) -> None:
    """Make the file end at a line boundary (see the module's text)."""
    try:
        handle = open(path, "r+b")
    except FileNotFoundError:
        return
    with handle:
        size = handle.seek(0, os.SEEK_END)
        if size == 0:
            return
        handle.seek(size - 1)
        if handle.read(1) == b"\n":
            return
        boundary = 0  # just after the last newline, looked for a block at a time
        end = size
        while end > 0:
            start = max(0, end - 65536)
            handle.seek(start)
            cut = handle.read(end - start).rfind(b"\n")
            if cut >= 0:
                boundary = start + cut + 1
                break
            end = start
        handle.seek(boundary)
        fragment = handle.read()
        if _is_whole_line(fragment):
            handle.seek(0, os.SEEK_END)
            handle.write(b"\n")
        else:
            handle.truncate(boundary)
        handle.flush()
        os.fsync(handle.fileno())


def _is_whole_line(fragment: bytes) -> bool:
    try:
        record = json.loads(fragment)
    except ValueError:
        return False
    return isinstance(record, dict) and isinstance(record.get("custom_id"), str)


def _records(path: str):  # type: ignore[no-untyped-def]
    with open(path, "rb") as lines:
        for number, raw in enumerate(lines, 1):
            if not raw.strip():
                continue
            try:
                record = json.loads(raw)
            except ValueError as exc:
                raise BatchInputError(f"{path} line {number}: not valid JSON ({exc})") from None
            if not isinstance(record, dict) or not isinstance(record.get("custom_id"), str):
                raise BatchInputError(f"{path} line {number}: not a batch output line (no 'custom_id')")
            yield raw, record


def scan(path: str) -> Existing:
    """The ``custom_id``s the file has a line for; a later line of the same
    row decides whether it counts as answered or failed."""
    existing = Existing()
    try:
        for _, record in _records(path):
            custom_id = record["custom_id"]
            if is_failure(record):
                existing.answered.discard(custom_id)
                existing.failed.add(custom_id)
            else:
                existing.failed.discard(custom_id)
                existing.answered.add(custom_id)
    except FileNotFoundError:
        pass
    return existing


def drop_failed(path: str, custom_ids: Collection[str]) -> int:
    """Rewrite the file without the failure lines of ``custom_ids`` (the rows
    about to run again), so each row keeps one line.  The new file replaces
    the old one atomically; returns how many lines went."""
    dropped = 0
    temporary = f"{path}.quorvel-tmp"
    with open(temporary, "wb") as kept:
        for raw, record in _records(path):
            if record["custom_id"] in custom_ids and is_failure(record):
                dropped += 1
                continue
            kept.write(raw if raw.endswith(b"\n") else raw + b"\n")
        kept.flush()
        os.fsync(kept.fileno())
    if dropped:
        os.replace(temporary, path)
    else:
        os.unlink(temporary)
    return dropped


class Appender:
    """Appends whole lines from any thread; after :meth:`close` further lines
    are refused (``False``), which is how rows still running when a run stops
    are left for the next run."""

    def __init__(self, path: str) -> None:
        self._file = open(path, "ab", buffering=0)
        self._lock = threading.Lock()
        self._open = True

    def write(self, line: bytes) -> bool:
        with self._lock:
            if not self._open:
                return False
            view = memoryview(line)
            while view:
                written = self._file.write(view)
                view = view[written:]
            return True

    def close(self) -> None:
        with self._lock:
            if self._open:
                self._open = False
                self._file.close()
