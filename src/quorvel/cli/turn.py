"""One exchange with the model: Ctrl-C handling and the one-line failure text."""

from __future__ import annotations

import contextlib
import re
import signal
from types import FrameType
from typing import TYPE_CHECKING, Any

from quorvel.cli.printing import Printer
from quorvel.cli.text import describe, one_line, shorten

if TYPE_CHECKING:
    from quorvel.modal import LLModal


class _StopOnInterrupt:
    """While a streamed answer is read, Ctrl-C asks the model to stop it.

    The first Ctrl-C sets the model's ``_close`` flag, which ends the stream at
    the next line the server sends; a second one interrupts at once.
    """

    def __init__(self, model: LLModal) -> None:
        self.model = model
        self.stopped = False
        self._previous: Any = None

    def _handle(self, signum: int, frame: FrameType | None) -> None:
        if self.stopped:
            raise KeyboardInterrupt
        self.stopped = True
        self.model._close = True

    def __enter__(self) -> _StopOnInterrupt:
        try:
            self._previous = signal.signal(signal.SIGINT, self._handle)
        except ValueError:  # not the main thread: leave Ctrl-C alone
            self._previous = None
        return self

    def __exit__(self, *exc_info: object) -> None:
        if self._previous is not None:
            signal.signal(signal.SIGINT, self._previous)
        # A stop requested after the last line was read must not end the next answer.
        self.model._close = False


def _connection_reason(exc: BaseException) -> str:
    match = re.search(r"\[Errno -?\d+\] ([^'\")\]]+)", str(exc))
    return match.group(1).strip() if match else one_line(exc)


def _request_failure(exc: Exception, endpoint: str) -> str:
    import requests

    if isinstance(exc, requests.exceptions.ConnectionError):
        return f"cannot connect to {endpoint}: {_connection_reason(exc)}"
    if isinstance(exc, requests.exceptions.RequestException):
        return f"request to {endpoint} failed: {describe(exc)}"
    text = one_line(exc)
    if text.startswith("code: "):
        return f"the server refused the request: {shorten(text, 300)}"
    return f"request failed: {shorten(describe(exc), 300)}"


def run_turn(model: LLModal, prompt: str, printer: Printer) -> str | None:
    """Ask ``prompt`` and show the answer as it arrives.

    Returns ``None`` on success, ``"stopped"`` when the user interrupted, or the
    one-line description of a failure.  In every case the conversation is kept.
    """
    streaming = bool(model.stream)
    outcome: str | None = None
    records: Any = None
    guard = _StopOnInterrupt(model) if streaming else contextlib.nullcontext()
    try:
        with guard:
            try:
                records = model.invoke(prompt)
                if streaming:
                    for record in records:
                        printer.show(record)
                else:
                    printer.show(records)
            except KeyboardInterrupt:
                if streaming and hasattr(records, "close"):
                    records.close()
                model._reset()
                outcome = "stopped"
            except Exception as exc:
                outcome = _request_failure(exc, model.endpoint_url)
            if streaming and guard.stopped and outcome is None:  # type: ignore[union-attr]
                outcome = "stopped"
    finally:
        printer.finish()
        if model.retry:
            # A regeneration that produced no text leaves the flag set; the
            # next prompt must be a new turn, not a new version of the old one.
            model.retry = False
    return outcome

