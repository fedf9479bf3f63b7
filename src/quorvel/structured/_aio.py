"""The awaited form of ``ask``: the same plan, each step run through an
awaitable ``invoke`` (``quorvel.aio.ainvoke``), a stream read with ``async for``."""

from __future__ import annotations

from collections.abc import Awaitable, Callable
from typing import TYPE_CHECKING, Any

from quorvel.structured._exchange import AnswerText, FinalResultGiven, answer_final_calls, installed
from quorvel.structured._output import from_type
from quorvel.structured._plan import Outcome, Step, check_arguments, check_tool_rounds, plan

if TYPE_CHECKING:
    from quorvel.modal import LLModal

AInvoke = Callable[[Any, str], Awaitable[Any]]


async def run_step(ainvoke: AInvoke, model: LLModal, step: Step) -> Outcome:
    """One awaited ``invoke`` of the step; a stream is read to its end."""
    from quorvel.modal import LLMResult

    with installed(model, step):
        try:
            result = await ainvoke(model, step.prompt)
            if isinstance(result, LLMResult):
                return Outcome(result.content)
            answer = AnswerText()
            try:
                async for record in result:
                    answer.add(record)
            finally:
                # Left early (cancelled): the rest of the answer is abandoned.
                aclose = getattr(result, "aclose", None)
                if aclose is not None:
                    await aclose()
            return Outcome(answer.text)
        except FinalResultGiven as given:
            return answer_final_calls(model, given)


async def ask_with(
    ainvoke: AInvoke,
    model: LLModal,
    prompt: str,
    output: Any,
    *,
    mode: Any,
    schema_in_prompt: bool,
    retries: int,
    strict: bool,
) -> Any:
    """``quorvel.structured.ask`` with every step awaited through ``ainvoke``."""
    check_arguments(mode, retries, prompt)
    check_tool_rounds(mode, model.tool_calls_limit)
    steps = plan(
        model.extra_body, model.tools, prompt, from_type(output, strict=strict),
        mode=mode, schema_in_prompt=bool(schema_in_prompt), retries=retries, strict=bool(strict),
    )
    try:
        step = next(steps)
        while True:
            step = steps.send(await run_step(ainvoke, model, step))
    except StopIteration as stop:
        return stop.value
