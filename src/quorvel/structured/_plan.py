"""The turns of one structured question, independent of how they are sent.

:func:`plan` is a generator: it yields a :class:`Step` (a prompt, the
request parameters and the tool registry the model uses for it), receives the
:class:`Outcome` of that ``invoke``, and returns the validated value or raises
:class:`OutputError`.  The synchronous ``ask`` and the asynchronous ``aask``
drive it the same way, each with its own way of running a step.
"""

from __future__ import annotations

import json
from collections.abc import Generator, Mapping
from dataclasses import dataclass, replace
from typing import Any, Literal

from quorvel.structured._error import OutputError
from quorvel.structured._output import Invalid, Output, describe_errors, json_in_text

Mode = Literal["json_schema", "tool", "prompted"]
MODES: tuple[Mode, ...] = ("json_schema", "tool", "prompted")

FINAL_RESULT = "final_result"

SCHEMA_INSTRUCTION = "Answer with one JSON object that matches this JSON schema, and with nothing else:"
SCHEMA_NOTE = "The answer must match this JSON schema:"
FOLLOW_UP = {
    "json_schema": "Now give your final answer as JSON in the requested response format.",
    "tool": f"Now give your final answer by calling the tool {FINAL_RESULT}.",
}
REASK = {
    "json_schema": "Your answer does not match the JSON schema:\n{errors}\nAnswer again, with JSON that matches it.",
    "tool": "The arguments of {tool} do not match its schema:\n{errors}\nCall {tool} again, with arguments that match it.",
    "prompted": "Your answer does not match the JSON schema:\n{errors}\n"
    "Answer again, with one JSON object that matches it and nothing else.",
}
NOT_CALLED_MESSAGE = f"The answer did not call {FINAL_RESULT}"
NOT_CALLED_REASK = f"You answered without calling {FINAL_RESULT}. Give your final answer by calling {FINAL_RESULT}."


@dataclass(frozen=True)
class Step:
    """One ``invoke``: its prompt, the ``extra_body`` and the registry it runs with.

    ``final_tool`` is the schema of ``final_result`` when the step offers it
    (``tools`` is then the caller's registry, which the runner extends).
    """

    prompt: str
    extra_body: dict[str, Any]
    tools: Any
    final_tool: dict[str, Any] | None = None


@dataclass(frozen=True)
class Outcome:
    """What a step's last exchange answered: its text, and the arguments of
    ``final_result`` when the model called it (``None`` otherwise)."""

    text: str
    arguments: str | None = None


def check_arguments(mode: Any, retries: Any, prompt: Any) -> None:
    if type(prompt) is not str:
        raise TypeError(f"Argument 'prompt' has incorrect type (expected str, got {type(prompt).__name__})")
    if mode not in MODES:
        raise ValueError(f"mode must be one of {', '.join(map(repr, MODES))}, not {mode!r}")
    if type(retries) is not int:
        raise TypeError(f"retries must be an int, not {type(retries).__name__}")
    if retries < 0:
        raise ValueError(f"retries must be 0 or more, not {retries}")


def check_tool_rounds(mode: Any, limit: Any) -> None:
    """``final_result`` is a tool call: the model must be allowed one."""
    if mode == "tool" and isinstance(limit, int) and limit < 1:
        raise ValueError(f"mode='tool' needs a tool_calls_limit of at least 1, not {limit}")


def _schema_block(lead: str, schema: dict[str, Any]) -> str:
    return f"{lead}\n```json\n{json.dumps(schema, ensure_ascii=False)}\n```"


def _body_without(extra_body: Any, *keys: str) -> dict[str, Any]:
    """A copy of the caller's ``extra_body`` without ``keys``; the caller's stays as it is."""
    if not isinstance(extra_body, Mapping):
        raise TypeError(f"extra_body must be a dict, not {type(extra_body).__name__}")
    return {key: value for key, value in extra_body.items() if key not in keys}


def final_tool_schema(output: Output[Any]) -> dict[str, Any]:
    return {
        "type": "function",
        "function": {
            "name": FINAL_RESULT,
            "description": "Give the final answer: the arguments are the answer.",
            "parameters": output.schema,
        },
    }


def _registry_names(registry: Any) -> list[Any]:
    if not registry:
        return []
    names = []
    for schema in registry.schemas or ():
        function = schema.get("function") if isinstance(schema, Mapping) else None
        if isinstance(function, Mapping):
            names.append(function.get("name"))
    return names


def plan(
    extra_body: Any, registry: Any, prompt: str, output: Output[Any], *, mode: Mode, schema_in_prompt: bool, retries: int, strict: bool
) -> Generator[Step, Outcome, Any]:
    """The steps of one question; see the module's docstring."""
    # The rounds of the tool loop, and every step of the prompted mode, run
    # without a response format: a server that constrains decoding to the
    # schema would forbid the tool calls.
    free_body = _body_without(extra_body, "response_format")
    if mode == "prompted":
        first = f"{prompt}\n\n{_schema_block(SCHEMA_INSTRUCTION, output.schema)}"
        answering = Step(first, free_body, registry)
    elif mode == "json_schema":
        response_format = {"type": "json_schema", "json_schema": {"name": output.name, "schema": output.schema, "strict": strict}}
        answering = Step("", {**free_body, "response_format": response_format}, registry)
    else:
        if FINAL_RESULT in _registry_names(registry):
            raise ValueError(f"the tool registry already has a tool named {FINAL_RESULT!r}, which mode='tool' needs")
        tool_choice = {"type": "function", "function": {"name": FINAL_RESULT}}
        answering = Step("", {**free_body, "tool_choice": tool_choice}, registry, final_tool_schema(output))
    if mode != "prompted":
        first = f"{prompt}\n\n{_schema_block(SCHEMA_NOTE, output.schema)}" if schema_in_prompt else prompt

    if mode != "prompted" and registry:
        # The tool loop first; then the answering exchange, after its last round.
        yield Step(first, free_body, registry)
        question = FOLLOW_UP[mode]
    else:
        question = first

    attempts = 0
    while True:
        outcome = yield replace(answering, prompt=question)
        attempts += 1
        raw, errors = outcome.text, None
        if mode == "tool" and outcome.arguments is None:
            errors = [{"type": "final_result_missing", "loc": (), "msg": NOT_CALLED_MESSAGE, "input": raw}]
            question = NOT_CALLED_REASK
        else:
            raw = outcome.arguments if outcome.arguments is not None else outcome.text
            try:
                return output.check(raw if mode == "tool" else json_in_text(raw))
            except Invalid as invalid:
                errors = invalid.errors
            question = REASK[mode].format(errors=describe_errors(errors), tool=FINAL_RESULT)
        if attempts > retries:
            raise OutputError(
                f"the answer does not match {output.name} after {attempts} attempt{'s' if attempts > 1 else ''}:\n"
                + describe_errors(errors),
                raw=raw,
                errors=errors,
                attempts=attempts,
            )
