"""``quorvel mcp serve``: a module's public functions as MCP tools over stdio."""

from __future__ import annotations

import argparse
import inspect
import sys
from collections.abc import Callable
from typing import Any

from quorvel.cli.loading import module_functions, native
from quorvel.cli.text import PROG, CliError, describe, one_line


def _mcp_tool(cython: Any, fn: Callable[..., Any], name: str) -> Any:
    """A ``CythonFunctionTool`` for ``fn``, whether plain Python or natively compiled."""
    if inspect.isfunction(fn) or inspect.ismethod(fn):
        return cython.CythonFunctionTool.from_function(fn, name=name)
    # fastmcp reads parameters through pydantic, which does not take compiled
    # functions for functions; quorvel.cython's adapter cache reads them instead.
    from fastmcp.utilities.json_schema import compress_schema

    parameters = cython.get_cached_typeadapter(fn).json_schema()
    return cython.CythonFunctionTool(
        fn=fn,
        name=name,
        description=inspect.getdoc(fn),
        parameters=compress_schema(
            parameters, prune_params=_context_params(fn), prune_titles=True, dereference=True
        ),
    )


def _context_params(fn: Callable[..., Any]) -> list[str]:
    """The parameter of ``fn`` that takes the request's context, as a list.

    The server fills it in (``CythonFunctionTool.run``), so clients must not
    see it among the tool's inputs, as fastmcp leaves it out of its own tools'.
    """
    from fastmcp.server.context import Context
    from fastmcp.utilities.types import find_kwarg_by_type

    try:
        found = find_kwarg_by_type(fn, kwarg_type=Context)
    except Exception:  # no readable signature: no parameter of that kind either
        return []
    return [found] if found else []


def build_mcp_server(target: str, name: str | None = None) -> Any:
    """A FastMCP server offering the public functions of ``target`` as tools."""
    cython = native("cython")
    try:
        # Binds quorvel.cython's tool layer first: its import of fastmcp keeps
        # authlib's deprecation notice (fastmcp's business) off standard error,
        # also for the served module's own imports of fastmcp.
        cython.CythonFunctionTool
        from fastmcp import FastMCP
    except ImportError as exc:
        raise CliError(f"cannot load fastmcp ({describe(exc)})") from None
    functions = module_functions(target)  # after fastmcp: a module importing it stays quiet too
    from quorvel import __version__

    server = FastMCP(name=name or f"quorvel: {target}", version=__version__)
    added = 0
    for fn_name, fn in functions:
        try:
            tool = _mcp_tool(cython, fn, fn_name)
        except Exception as exc:
            print(f"{PROG}: warning: skipping {fn_name}: {one_line(exc)}", file=sys.stderr)
            continue
        server.add_tool(tool)
        added += 1
    if not added:
        raise CliError(f"none of the functions of {target!r} can be served as a tool")
    return server


def cmd_mcp_serve(args: argparse.Namespace) -> int:
    server = build_mcp_server(args.module, args.name)
    server.run(transport="stdio", show_banner=False)
    return 0
