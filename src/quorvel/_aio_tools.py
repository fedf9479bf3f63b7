"""One batch of tool calls, run from an event loop.

A tool whose function is a coroutine function is awaited on the running
loop; any other tool runs in a worker thread, so the loop never blocks.  The
calls of a batch run concurrently and their messages come back in call
order, with exactly the texts that ``Tools.__call__`` gives (the two share
the steps of ``quorvel.tools``).  A registry that is not a plain ``Tools`` (its
``__call__`` replaced) is called once, whole, in a worker thread.
"""

from __future__ import annotations

import asyncio
import inspect
from collections.abc import Awaitable
from typing import Any

from quorvel.message import Message
from quorvel.tools import Tools, _render, _Tool, _ToolError, _tool_message

__all__ = ["run_batch"]


def _is_coroutine_function(fn: Any) -> bool:
    if inspect.iscoroutinefunction(fn):
        return True
    call = getattr(type(fn), "__call__", None)
    return call is not None and not inspect.isfunction(fn) and inspect.iscoroutinefunction(call)


async def _run_awaited(tools: Tools, call: Any) -> Message:
    """A call of a coroutine tool: arguments checked here, the tool awaited on
    this loop, its result rendered as the threaded path renders it."""
    name: Any = None
    try:
        _, name, tool, arguments = tools._find(call)
        args, kwargs = tool.arguments(arguments)
        try:
            result = await tool.fn(*args, **kwargs)
        except Exception as exc:
            raise tool.failure(exc) from exc
        text = _render(result)
    except _ToolError as exc:
        text = f"Error: {exc}"
    except Exception as exc:  # as in Tools._run: a result that cannot be rendered, etc.
        text = f"Error: tool {name!r} failed with {type(exc).__name__}: {exc}"
    return _tool_message(call, text)


def _awaited_tool(tools: Tools, call: Any) -> _Tool | None:
    """The registered tool of ``call`` when it is to be awaited on the loop."""
    try:
        _, _, tool, _ = tools._find(call)
    except Exception:
        return None  # the threaded path reports the malformed call
    return tool if _is_coroutine_function(tool.fn) else None


async def run_batch(registry: Any, calls: list[Any]) -> Any:
    """The registry's result messages for ``calls``, in call order."""
    loop = asyncio.get_running_loop()
    if not isinstance(registry, Tools) or type(registry).__call__ is not Tools.__call__:
        return await loop.run_in_executor(None, registry, calls)
    batch = list(calls)
    jobs: list[Awaitable[Message]] = []
    for call in batch:
        if _awaited_tool(registry, call) is not None:
            jobs.append(_run_awaited(registry, call))
        else:
            jobs.append(loop.run_in_executor(None, registry._run, call))
    if len(jobs) == 1:
        return [await jobs[0]]
    return list(await asyncio.gather(*jobs))
