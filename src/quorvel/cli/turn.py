"""One turn of the conversation: Ctrl-C, the library's own lines, the outcome.

A turn ends in one of three ways: answered (``None``), stopped by the user
(``"stopped"``) or failed (one line saying why).  Whatever happened, the
conversation stays usable: a stopped or failed turn leaves nothing behind that
the next request could not send, and no fallback text posing as an answer.
"""

from __future__ import annotations

import contextlib
import io
import signal
import sys
from types import FrameType
from typing import TYPE_CHECKING, Any, TextIO

from quorvel import _retry_watch
from quorvel.cli import history
from quorvel.cli.endpoint import without_credentials
from quorvel.cli.failure import failure_text, retry_text, tool_limit_text, tries_text
from quorvel.cli.live_tools import showing, shows_live
from quorvel.cli.printing import Printer
from quorvel.cli.screen import visible

if TYPE_CHECKING:
    from quorvel.modal import LLModal

# The client reports each failure on standard output itself; the chat says it
# once, in its own words, on standard error.
_LIBRARY_FAILURE_LINES = ("LLM request error: ", "Error parsing LLM response: ")


class _StopOnInterrupt:
    """While a turn runs, Ctrl-C stops it at once, wherever it is.

    The interrupt is raised right away, so a turn also stops while the request
    waits for the server's first byte; ``_close`` is set as well, so that a
    stream whose reader swallowed the interrupt still ends at its next line.
    """

    def __init__(self, model: LLModal) -> None:
        self.model = model
        self.stopped = False
        self._previous: Any = None

    def _handle(self, signum: int, frame: FrameType | None) -> None:
        self.stopped = True
        self.model._close = True
        raise KeyboardInterrupt

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


class LibraryOutput(io.TextIOBase):
    """Stands in for standard output while the client runs: standard output holds answers only.

    Lines printed during a turn (the client's failure reports, a tool's own
    prints) go to ``target``, except the failure reports, which the chat
    replaces with its one line.
    """

    def __init__(self, target: TextIO, raw: bool = False) -> None:
        self.target = target
        self.raw = raw
        self._pending = ""

    def writable(self) -> bool:
        return True

    @property
    def encoding(self) -> str:  # type: ignore[override]
        return getattr(self.target, "encoding", None) or "utf-8"

    def fileno(self) -> int:
        # Code that writes to the descriptor itself writes to the target's.
        return self.target.fileno()

    def write(self, text: str) -> int:
        self._pending += text
        while "\n" in self._pending:
            line, self._pending = self._pending.split("\n", 1)
            self._emit(line + "\n")
        return len(text)

    def _emit(self, text: str) -> None:
        if text.startswith(_LIBRARY_FAILURE_LINES):
            return
        self.target.write(visible(text, self.raw))
        self.target.flush()

    def flush(self) -> None:
        if self._pending:
            text, self._pending = self._pending, ""
            self._emit(text)


def _show_tool_rounds(model: LLModal, start: int, printer: Printer | None) -> int:
    """Show the tool calls and results a whole-answer turn ran; returns the number of rounds."""
    rounds = 0
    messages = model.messages[start:]
    for index, message in enumerate(messages):
        if str(message.role) != "assistant" or not message.tool_calls:
            continue
        rounds += 1
        if printer is None:
            continue
        results = []
        for later in messages[index + 1 :]:
            if str(later.role) != "tool":
                break
            results.append(later)
        try:
            calls = model._t_calls_beautify(list(message.tool_calls))
            printer.tool_calls(calls)
            printer.tool_results(model._t_results_beautify(calls, results))
        except Exception:  # noqa: BLE001  showing them is a courtesy; the failure line follows anyway
            continue
    return rounds


class _Retries:
    """Shows each retry of the turn's requests as it is decided; keeps the count of the try that failed last."""

    def __init__(self, printer: Printer) -> None:
        self.printer = printer
        self.gave_up_after = 0

    def __call__(self, failed: _retry_watch.FailedTry) -> None:
        if failed.wait is None:
            self.gave_up_after = failed.number
            return
        self.printer.end_line()
        text = retry_text(failed.error, failed.wait, failed.number + 1, failed.tries)
        self.printer.err.print(visible(text), style="dim", soft_wrap=True, markup=False, highlight=False)


def run_turn(model: LLModal, prompt: str, printer: Printer) -> str | None:
    """Ask ``prompt`` (``""`` sends the history as it stands) and show the answer as it arrives.

    Returns ``None`` on success, ``"stopped"`` when the user interrupted, or the
    one-line description of a failure.  In every case the conversation is kept.
    Retries are shown as they happen, and so are tool batches when the model's
    registry shows them live (the chat's does).
    """
    streaming = bool(model.stream)
    live_tools = shows_live(model.tools)
    outcome: str | None = None
    records: Any = None
    before = history.snapshot(model)
    guard = _StopOnInterrupt(model)
    library = LibraryOutput(sys.stderr, printer.raw)
    retries = _Retries(printer)
    try:
        with guard, contextlib.redirect_stdout(library), _retry_watch.watching(retries), showing(printer):
            try:
                records = model.invoke(prompt)
                if streaming:
                    for record in records:
                        printer.show(record, tools=not live_tools)
                else:
                    printer.show(records, tools=not live_tools)
            except KeyboardInterrupt:
                if hasattr(records, "close"):
                    records.close()
                model._reset()
                history.drop_unanswered_tool_calls(model)
                outcome = "stopped"
            except Exception as exc:
                outcome = _failure(model, exc, before[0], streaming or live_tools, printer)
                if retries.gave_up_after > 1:
                    outcome += tries_text(retries.gave_up_after)
                history.drop_fallback(model, before)
            finally:
                library.flush()
    finally:
        printer.finish()
        if model.retry:
            # A regeneration that produced no text leaves the flag set; the
            # next prompt must be a new turn, not a new version of the old one.
            model.retry = False
    return outcome


def _failure(model: LLModal, exc: Exception, start: int, rounds_shown: bool, printer: Printer) -> str:
    if type(exc) is ValueError and str(exc) == model._default:
        # The only failure whose text is the fallback answer: the tool-round limit.
        # The rounds were shown as they ran, unless only a whole answer could show them.
        rounds = _show_tool_rounds(model, start, None if rounds_shown else printer)
        return tool_limit_text(rounds, model.tool_calls_limit)
    return failure_text(exc, without_credentials(model.endpoint_url))
