"""Structured output: ask a model for an answer that validates as a type.

:func:`ask` asks ``model`` a question whose answer must validate as
``output`` (a pydantic model class, or any type pydantic's ``TypeAdapter``
takes: a list of models, a ``TypedDict``, a dataclass) and returns the
validated value.  Everything goes through ``model.invoke``: the history keeps
every exchange as ``invoke`` keeps it, streamed models (``"stream": True`` in
``extra_body``) are read to their end, and the model's settings (timeouts,
retries, tool-round limit) apply to every exchange.

Modes
-----

``json_schema`` (the default)
    The answering exchange carries ``response_format`` =
    ``{"type": "json_schema", "json_schema": {"name", "schema", "strict"}}``.
``tool``
    The answering exchange offers a transient tool ``final_result`` whose
    parameters are the schema, with ``tool_choice`` forcing it; its arguments
    are the answer.  It never enters the registry and never runs.
``prompted``
    No ``response_format``: the schema and an instruction go into the user
    turn, and the JSON is taken from the answer's text (the whole text when
    it begins with ``{``, else a fenced block, else the outermost object).

``schema_in_prompt=True`` puts the schema into the user turn in the other
two modes as well.  A schema whose root is not an object (a list, a union) is
sent wrapped as ``{"response": ...}``; the value returned is the unwrapped one.

The answering exchange and the tool loop
----------------------------------------

A server that constrains decoding to a schema forbids tool calls while it
does (vLLM's guided decoding does), so a question that carries the schema
from the start would be answered at once, without running a tool.  When the
model's registry holds tools, ``json_schema`` and ``tool`` therefore ask in
two turns:

1. the question, with the tools and without ``response_format`` (and
   without ``final_result``): the tool loop runs round after round, as in any
   ``invoke``, until the model answers without calling a tool;
2. a follow-up user turn ("Now give your final answer ...") whose exchange
   carries ``response_format`` (``json_schema``) or ``final_result`` with
   ``tool_choice`` (``tool``): this is the answering exchange.  The tools are
   still offered, so a server that lets the model call one more tool runs it
   and the exchange after that round carries the constraint again.

An answer produced without the constraint is never taken as the result: the
exchange that produces the result always carries it.  Without tools in the
registry the question itself is the answering exchange (one exchange when the
answer validates).

Requests are shaped per exchange without changing the model's class: for the
duration of each ``invoke`` (a stream until it ends) the model's
``extra_body`` is a copy with the step's keys, and in ``tool`` mode its
``tools`` is a registry that adds ``final_result`` to the caller's tools.  The
caller's own objects are put back in a ``finally``, on success and on every
failure; ``extra_body`` is never modified.  A ``response_format`` that the
caller put into ``extra_body`` is left out of the exchanges that must run
without one.  As with ``invoke``, one model serves one call at a time: do not
use it from another thread while ``ask`` runs.

Validation and re-asking
------------------------

The answer is validated by ``output`` (``strict`` as asked).  When it does not
validate, the validator's errors go back as a user message and the model is
asked again, up to ``retries`` times; then :class:`OutputError` is raised with
``raw`` (the last answer), ``errors`` (the validator's errors) and
``attempts`` (the number of answers checked).  Errors of the exchanges
themselves (an unreachable server, a failed status, the tool-round limit)
propagate as ``invoke`` raises them.
"""

from __future__ import annotations

from collections.abc import Generator
from typing import TYPE_CHECKING, Any, Literal, TypeVar

from quorvel.structured._error import OutputError
from quorvel.structured._exchange import run_step
from quorvel.structured._output import Output, from_type
from quorvel.structured._plan import Outcome, Step, check_arguments, check_tool_rounds, plan

if TYPE_CHECKING:
    from quorvel.modal import LLModal

__all__ = ["ask", "OutputError"]

T = TypeVar("T")


def ask(
    model: LLModal,
    prompt: str,
    output: type[T],
    *,
    mode: Literal["json_schema", "tool", "prompted"] = "json_schema",
    schema_in_prompt: bool = False,
    retries: int = 1,
    strict: bool = True,
) -> T:
    """Ask ``model`` and return its answer validated as ``output``.

    Raises :class:`OutputError` when the answer still does not validate after
    ``retries`` re-asks; ``TypeError`` for a ``prompt`` that is not a ``str``
    or an ``output`` that pydantic cannot describe; ``ValueError`` for an
    unknown ``mode`` or a negative ``retries``; whatever ``invoke`` raises for
    a failed exchange.  See the module's documentation for the exchanges made.
    """
    check_arguments(mode, retries, prompt)
    result: T = _ask(model, prompt, from_type(output, strict=strict), mode=mode, schema_in_prompt=schema_in_prompt, retries=retries, strict=strict)
    return result


def _ask(
    model: LLModal, prompt: str, output: Output[Any], *, mode: Any, schema_in_prompt: bool, retries: int, strict: bool
) -> Any:
    """:func:`ask` for an already built :class:`Output` (the command line builds
    one from a JSON schema file)."""
    check_arguments(mode, retries, prompt)
    check_tool_rounds(mode, model.tool_calls_limit)
    steps = plan(model.extra_body, model.tools, prompt, output, mode=mode, schema_in_prompt=bool(schema_in_prompt), retries=retries, strict=bool(strict))
    return drive(steps, lambda step: run_step(model, step))


def drive(steps: Generator[Step, Outcome, Any], run: Any) -> Any:
    """Run the plan's steps one after the other; returns the plan's value."""
    try:
        step = next(steps)
        while True:
            step = steps.send(run(step))
    except StopIteration as stop:
        return stop.value
