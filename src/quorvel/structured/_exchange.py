"""Running one step of a structured question on the model.

The model builds every request body from ``extra_body`` and its registry
``tools`` as they are when the body is built.  A step therefore installs its
own ``extra_body`` and registry for the duration of its ``invoke`` (a stream
included, until it is read to its end) and puts the caller's objects back in
a ``finally``: after the step the model holds the very objects it held before.

``final_result`` is offered through :class:`AnsweringTools`, a registry that
describes the caller's tools plus ``final_result`` and runs the caller's
tools as usual.  When the model calls ``final_result``, there is nothing to
run and no follow-up exchange to make: the registry raises
:class:`FinalResultGiven`, a ``BaseException``, which the call driver lets
through as it lets through any interruption (no failure line, no fallback
answer, per-call state discarded).  The step then answers every call of
that batch in the history, so that the history stays one the server accepts.
"""

from __future__ import annotations

import contextlib
import json
from collections.abc import Iterable, Iterator, Mapping
from typing import TYPE_CHECKING, Any

from quorvel.structured._plan import FINAL_RESULT, Outcome, Step

if TYPE_CHECKING:
    from quorvel.modal import LLModal

FINAL_RESULT_RECEIVED = "Final result received."
NOT_RUN = f"Not run: {FINAL_RESULT} was called in the same answer."


class FinalResultGiven(BaseException):
    """The model called ``final_result``: the call ends here.

    A ``BaseException`` so that the call driver ends the call without
    treating it as a failure of the exchange.
    """

    def __init__(self, calls: list[Any], final: Mapping[str, Any]) -> None:
        super().__init__(FINAL_RESULT)
        self.calls = calls
        self.final = final

    @property
    def arguments(self) -> str:
        function = self.final.get("function")
        arguments = function.get("arguments") if isinstance(function, Mapping) else None
        if arguments is None:
            return ""
        return arguments if isinstance(arguments, str) else json.dumps(arguments, ensure_ascii=False)


def call_name(call: Any) -> Any:
    function = call.get("function") if isinstance(call, Mapping) else None
    return function.get("name") if isinstance(function, Mapping) else None


class AnsweringTools:
    """The caller's registry plus the transient tool ``final_result``.

    Never registered anywhere: it stands in ``model.tools`` for one step only.
    """

    def __init__(self, registry: Any, final_tool: dict[str, Any]) -> None:
        self._registry = registry
        self._final_tool = final_tool

    def __bool__(self) -> bool:
        return True

    @property
    def schemas(self) -> list[Any]:
        own = list(self._registry.schemas) if self._registry else []
        return [*own, self._final_tool]

    @property
    def names(self) -> list[str]:
        own = list(getattr(self._registry, "names", ())) if self._registry else []
        return [*own, FINAL_RESULT]

    def __call__(self, tool_calls: Iterable[Any]) -> Any:
        calls = list(tool_calls)
        for call in calls:
            if call_name(call) == FINAL_RESULT:
                raise FinalResultGiven(calls, call)
        return self._registry(calls)


@contextlib.contextmanager
def installed(model: LLModal, step: Step) -> Iterator[None]:
    """The step's ``extra_body`` and registry on the model, the caller's back afterwards."""
    extra_body, registry = model.extra_body, model.tools
    tools: Any = step.tools if step.final_tool is None else AnsweringTools(step.tools, step.final_tool)
    model.extra_body = step.extra_body
    model.tools = tools
    try:
        yield
    finally:
        model.extra_body = extra_body
        model.tools = registry


def answer_final_calls(model: LLModal, given: FinalResultGiven) -> Outcome:
    """Every call of the batch that held ``final_result`` gets its answer in the history."""
    from quorvel.message import Message, MessageRole

    for call in given.calls:
        call_id = call.get("id") if isinstance(call, Mapping) else None
        text = FINAL_RESULT_RECEIVED if call is given.final else NOT_RUN
        model.messages.append(Message(role=MessageRole.tool, tool_call_id="" if call_id is None else str(call_id), contents=[text]))
    return Outcome(text="", arguments=given.arguments)


class AnswerText:
    """The text of the last exchange of a streamed call, gathered record by record.

    Records of every exchange of the tool loop pass through one stream; a
    ``tool_results`` record means that a new exchange follows.
    """

    def __init__(self) -> None:
        self._parts: list[str] = []

    def add(self, record: Any) -> None:
        if record.status == "tool_results":
            self._parts = []
        elif record.content:
            self._parts.append(record.content)

    @property
    def text(self) -> str:
        return "".join(self._parts)


def run_step(model: LLModal, step: Step) -> Outcome:
    """One ``invoke`` of the step; a stream is read to its end."""
    from quorvel.modal import LLMResult

    with installed(model, step):
        try:
            result = model.invoke(step.prompt)
            if isinstance(result, LLMResult):
                return Outcome(result.content)
            answer = AnswerText()
            try:
                for record in result:
                    answer.add(record)
            finally:
                # Left early (an interruption): the rest of the answer is abandoned.
                close = getattr(result, "close", None)
                if close is not None:
                    close()
            return Outcome(answer.text)
        except FinalResultGiven as given:
            return answer_final_calls(model, given)
