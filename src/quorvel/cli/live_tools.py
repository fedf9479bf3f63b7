"""Tool calls shown as they run, whether answers are streamed or whole.

A whole answer's record carries the tool rounds only once the last exchange
has succeeded; when a follow-up fails, the user would never learn that a tool
ran.  The chat's registry therefore tells the printer of each batch of calls
before running it, and of the results right after.
"""

from __future__ import annotations

import contextlib
import contextvars
import functools
import json
from collections.abc import Iterator, Mapping
from typing import TYPE_CHECKING, Any, NamedTuple

from quorvel.cli.loading import native

if TYPE_CHECKING:
    from quorvel.cli.printing import Printer
    from quorvel.tools import Tools

_printer: contextvars.ContextVar[Printer | None] = contextvars.ContextVar("quorvel_cli_tool_printer", default=None)


class Shown(NamedTuple):
    """A call or a result as the printer shows it."""

    name: str
    content: Any


def _decoded(text: Any) -> Any:
    if not isinstance(text, str):
        return text
    try:
        return json.loads(text)
    except ValueError:
        return text


def _calls(tool_calls: list[Any]) -> dict[str, Shown]:
    shown: dict[str, Shown] = {}
    for call in tool_calls:
        function = call.get("function") if isinstance(call, Mapping) else None
        function = function if isinstance(function, Mapping) else {}
        name = function.get("name")
        call_id = str(call.get("id") or "") if isinstance(call, Mapping) else ""
        shown[call_id] = Shown(name if isinstance(name, str) and name else "?", _decoded(function.get("arguments", "")))
    return shown


def _results(calls: dict[str, Shown], results: Any) -> dict[str, Shown]:
    shown: dict[str, Shown] = {}
    for message in results if isinstance(results, list) else []:
        call_id = getattr(message, "tool_call_id", "")
        contents = getattr(message, "contents", None)
        if call_id in calls and contents:
            shown[call_id] = Shown(calls[call_id].name, _decoded(contents[-1]))
    return shown


@functools.cache
def _live_class() -> type[Tools]:
    base: type[Tools] = native("tools").Tools

    class LiveTools(base):  # type: ignore[valid-type, misc]
        """A registry whose batches are shown by the printer of the running turn."""

        def __call__(self, tool_calls: Any) -> Any:
            printer = _printer.get()
            if printer is None:
                return super().__call__(tool_calls)
            calls = _calls(list(tool_calls))
            printer.tool_calls(calls)
            results = super().__call__(tool_calls)
            printer.tool_results(_results(calls, results))
            return results

    return LiveTools


def live_registry() -> Tools:
    """An empty registry whose batches are shown as they run."""
    return _live_class()()


def shows_live(tools: Any) -> bool:
    return isinstance(tools, _live_class())


@contextlib.contextmanager
def showing(printer: Printer) -> Iterator[None]:
    """Show the tool batches run in this context with ``printer``."""
    token = _printer.set(printer)
    try:
        yield
    finally:
        _printer.reset(token)
