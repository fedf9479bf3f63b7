# cython: language_level=3
# cython: binding=True
"""Functions compiled by Cython for the tool tests.

Built once per test session by tests/conftest.py.  With binding=True (the
module default here) Cython makes `cyfunction` objects that carry a
signature and annotations; with binding=False it makes plain builtin
functions that inspect cannot read.
"""
import asyncio
from typing import Annotated, Any

import cython
from fastmcp.server.context import Context
from fastmcp.tools.tool import ToolResult
from mcp.types import TextContent
from pydantic import BaseModel


class Point(BaseModel):
    x: int
    y: int


def add(a: int, b: int = 2) -> int:
    """Add two integers."""
    return a + b


def describe(city: Annotated[str, "The city to describe"], days: Annotated[int, "Number of days"] = 3) -> dict:
    """Describe a trip."""
    return {"city": city, "days": days}


def untyped(x, y=10):
    return [x, y]


def tagged(tag: str, **extra) -> dict:
    return {"tag": tag, "extra": extra}


def only_kwargs(**extra):
    return {"extra": extra}


def point(x: int, y: int) -> Point:
    return Point(x=x, y=y)


def greet(name: str) -> str:
    return "hello " + name


def mixed(n: int) -> list:
    return [TextContent(type="text", text="block"), n]


def nothing(flag: bool = False):
    return None


def ready_result(text: str) -> ToolResult:
    return ToolResult(content=[TextContent(type="text", text=text)], structured_content={"raw": text})


def context_name(query: str, ctx: Context) -> dict:
    """Report the context the server injected."""
    return {"query": query, "context_type": type(ctx).__name__, "session": ctx.session_id is not None}


def fail(message: str) -> str:
    raise ValueError(message)


@cython.binding(False)
def unbound_add(a, b):
    return a + b


@cython.binding(False)
def unbound_echo(**kwargs):
    return kwargs


async def fetch(n: int) -> dict:
    """Await something, then answer."""
    await asyncio.sleep(0)
    return {"n": n, "double": n * 2}


def returns_awaitable(n: int):
    """Synchronous, but returns an awaitable."""
    return fetch(n)


cdef class Multiplier:
    """A callable instance; it has no __name__."""
    cdef public int factor

    def __init__(self, factor):
        self.factor = factor

    def __call__(self, x: int) -> int:
        return x * self.factor


# Methods for a pydantic model body: compiled with and without binding.
def scaled(self, k: int) -> int:
    return self.value * k


def _hidden(self) -> int:
    return -self.value


@cython.binding(False)
def unbound_method(self):
    return "unbound"
