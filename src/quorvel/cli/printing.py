"""Showing the records of answers as they arrive."""

from __future__ import annotations

import json
from typing import TYPE_CHECKING, Any

from rich.console import Console

from quorvel.cli.screen import ends_in_half_pair, visible
from quorvel.cli.text import one_line, shorten

if TYPE_CHECKING:
    from quorvel.modal import LLMResult

_RESULT_PREVIEW = 400  # characters of a tool result shown on screen


class Printer:
    """Renders the records of answers as they arrive.

    Answer text goes to ``out``; reasoning (dimmed) and tool records go to
    ``side``, which is the same console in a terminal session and standard
    error for one-shot questions, so that a pipe receives the answer alone.
    Notes about the transport (retries) go to ``err``, standard error.

    Everything is shown through :func:`quorvel.cli.screen.visible`: control
    characters escaped, unless ``raw``.
    """

    def __init__(
        self,
        out: Console,
        side: Console | None = None,
        *,
        answer_label: str = "",
        err: Console | None = None,
        raw: bool = False,
    ) -> None:
        self.out = out
        self.side = side or out
        self.err = err or self.side
        self.answer_label = answer_label
        self.raw = raw
        self._mode: str | None = None
        self._open: dict[int, Console] = {}  # consoles whose current line is unfinished
        # Per console: the end of the last text, held back until the next text
        # shows whether it completes it (a surrogate pair, a CR LF line end).
        self._held: dict[int, str] = {}
        self.answered = False

    def _write(self, console: Console, text: str, style: str | None = None) -> None:
        text = self._held.pop(id(console), "") + text
        if text and (ends_in_half_pair(text) or (text.endswith("\r") and not self.raw)):
            self._held[id(console)] = text[-1]
            text = text[:-1]
            self._open[id(console)] = console
        if not text:
            return
        if self.raw:
            # As received: the console's own rendering would drop some control characters.
            console.file.write(visible(text, raw=True))
            console.file.flush()
        else:
            console.print(visible(text), end="", style=style, soft_wrap=True, markup=False, highlight=False)
        if text.endswith("\n") and id(console) not in self._held:
            self._open.pop(id(console), None)
        else:
            self._open[id(console)] = console

    def end_line(self) -> None:
        """Finish any unfinished line."""
        for console in list(self._open.values()):
            self._write(console, "\n")
        self._open.clear()
        self._held.clear()

    def finish(self) -> None:
        """End of an answer: the next one starts afresh."""
        self.end_line()
        self._mode = None

    def _switch(self, mode: str | None) -> bool:
        if self._mode == mode:
            return False
        self.end_line()
        self._mode = mode
        return True

    def reasoning(self, text: str) -> None:
        if self._switch("reason"):
            self._write(self.side, "thinking: ", "dim bold")
        self._write(self.side, text, "dim")

    def answer(self, text: str) -> None:
        if self._switch("answer") and self.answer_label:
            self._write(self.out, self.answer_label, "bold blue")
        self._write(self.out, text)
        self.answered = True

    def tool_calls(self, calls: dict[str, Any]) -> None:
        self._switch(None)
        for call_id, call in calls.items():
            if isinstance(call.content, dict):
                args = ", ".join(f"{k}={json.dumps(v, ensure_ascii=False)}" for k, v in call.content.items())
            else:
                args = str(call.content)
            self._write(self.side, "tool call  ", "bold cyan")
            self._write(self.side, f"{call.name}({args})  [{call_id}]\n", "cyan")

    def tool_results(self, results: dict[str, Any]) -> None:
        self._switch(None)
        for call_id, result in results.items():
            if isinstance(result.content, str):
                text = result.content
            else:
                text = json.dumps(result.content, ensure_ascii=False)
            self._write(self.side, "tool result  ", "bold green")
            self._write(self.side, f"{result.name} -> {shorten(one_line(text), _RESULT_PREVIEW)}  [{call_id}]\n", "green")

    def show(self, record: LLMResult, tools: bool = True) -> None:
        """One streamed record, or the single record of a whole answer.

        A whole answer that ran tools carries the calls and results of every
        exchange and the texts of the last one, so the texts come after them.
        ``tools=False`` leaves out the calls and results (already shown as they ran).
        """
        if tools and record.tool_calls:
            self.tool_calls(record.tool_calls)
        if tools and record.tool_results:
            self.tool_results(record.tool_results)
        if record.reasoning_content:
            self.reasoning(record.reasoning_content)
        if record.content:
            self.answer(record.content)

    def note(self, text: str, style: str = "dim") -> None:
        self._switch(None)
        self._write(self.side, text + "\n", style)

