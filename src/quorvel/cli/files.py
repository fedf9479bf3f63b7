"""Reading and writing the chat's files: conversations and images.

Reading: a name the user types (or a shared command line) may be a FIFO, a
device or a huge file.  Opening a FIFO waits for a writer for good, and
``/dev/zero`` never ends; so a file is opened without waiting, must be a
regular file, and is read up to a limit.

Writing: a conversation holds whatever was pasted into it.  It is written to a
new file that only the user may read (0600), which replaces the old one only
once the whole text is on disk: a failure part-way leaves the old file as it
was.
"""

from __future__ import annotations

import contextlib
import os
import stat
import tempfile
from pathlib import Path

from quorvel.cli.text import CliError, describe

MB = 1024 * 1024
READ_LIMIT = 64 * MB


def user_path(name: str) -> Path:
    """The path a user typed, with ``~`` expanded."""
    return Path(os.path.expanduser(name))


def _reason(exc: OSError) -> str:
    if isinstance(exc, FileNotFoundError):
        return "no such file"
    return exc.strerror or describe(exc)


def read_file(name: str, what: str, limit: int = READ_LIMIT) -> bytes:
    """The bytes of the regular file ``name``; ``CliError`` "cannot <what> NAME: why" otherwise."""
    path = user_path(name)
    flags = os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_NOCTTY", 0) | getattr(os, "O_BINARY", 0)
    try:
        descriptor = os.open(path, flags)
    except OSError as exc:
        raise CliError(f"cannot {what} {name}: {_reason(exc)}") from None
    too_large = CliError(f"cannot {what} {name}: larger than the limit of {limit // MB} MB")
    try:
        info = os.fstat(descriptor)
        if not stat.S_ISREG(info.st_mode):
            raise CliError(f"cannot {what} {name}: not a regular file")
        if info.st_size > limit:
            raise too_large
        with open(descriptor, "rb", closefd=False) as file:
            data = file.read(limit + 1)  # the file may have grown since
    except OSError as exc:
        raise CliError(f"cannot {what} {name}: {_reason(exc)}") from None
    finally:
        os.close(descriptor)
    if len(data) > limit:
        raise too_large
    return data


def write_private(name: str, data: bytes) -> None:
    """Put ``data`` in ``name`` (``~`` expanded), readable by the user alone; ``OSError`` on failure."""
    path = user_path(name)
    directory = path.parent
    # mkstemp creates the file with mode 0600 whatever the umask.
    descriptor, temporary = tempfile.mkstemp(prefix=f".{path.name}.", suffix=".part", dir=directory)
    try:
        with open(descriptor, "wb", closefd=True) as file:
            file.write(data)
            file.flush()
            os.fsync(file.fileno())
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise
