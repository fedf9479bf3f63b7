"""``quorvel mcp serve`` seen by the official ``mcp`` client over stdio.

The served module is compiled by Cython once for this file: model-typed
parameters, an argument the function does not take, and a parameter that
takes the request's context, as an MCP client meets them.
"""

import os
import shutil
import subprocess
import sys
from contextlib import asynccontextmanager

import pytest

import quorvel

PACKAGE_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(quorvel.__file__)))

POINTS = """\
from pydantic import BaseModel


class Point(BaseModel):
    x: int
    y: int
"""

COMPILED = """\
# cython: binding=True
from fastmcp import Context

from qv_points import Point


def distance(p: Point, q: Point) -> float:
    \"\"\"Distance between two points.\"\"\"
    return ((p.x - q.x) ** 2 + (p.y - q.y) ** 2) ** 0.5


def add(a: int, b: int = 0) -> int:
    \"\"\"Add two integers.\"\"\"
    return a + b


async def whoami(query: str, ctx: Context) -> dict:
    \"\"\"Report the context the server passed.\"\"\"
    return {"query": query, "context": type(ctx).__name__, "session": ctx.session_id is not None}
"""


@pytest.fixture(scope="module")
def served_dir(tmp_path_factory):
    if shutil.which("cc") is None:
        pytest.skip("no C compiler")
    pytest.importorskip("Cython")
    where = tmp_path_factory.mktemp("mcp_serve")
    (where / "qv_points.py").write_text(POINTS)
    (where / "qv_served.pyx").write_text(COMPILED)
    subprocess.run(
        [sys.executable, "-m", "Cython.Build.Cythonize", "-i", "-3", "-q", "qv_served.pyx"],
        cwd=where, check=True, capture_output=True,
    )
    (where / "qv_served.pyx").unlink()  # only the extension module is left to import
    return where


@asynccontextmanager
async def serve(served_dir):
    """A session of the official client with `quorvel mcp serve qv_served`."""
    from mcp import ClientSession, StdioServerParameters
    from mcp.client.stdio import stdio_client

    env = {k: v for k, v in os.environ.items() if not k.startswith("QUORVEL_")}
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [PACKAGE_ROOT, str(served_dir), os.environ.get("PYTHONPATH")]))
    env["QUORVEL_CONFIG"] = str(served_dir / "absent.ini")
    params = StdioServerParameters(
        command=sys.executable, args=["-m", "quorvel", "mcp", "serve", "qv_served"], env=env, cwd=str(served_dir)
    )
    with open(served_dir / "server-stderr.log", "w") as errlog:
        async with stdio_client(params, errlog=errlog) as (read, write):
            async with ClientSession(read, write) as session:
                yield session, await session.initialize()


def text(result):
    return "".join(block.text for block in result.content)


# One server process serves every check: starting one costs seconds.
async def test_compiled_tools_served_honestly(served_dir):
    async with serve(served_dir) as (client, initialized):
        assert initialized.serverInfo.version == quorvel.__version__
        tools = {tool.name: tool for tool in (await client.list_tools()).tools}

        # A parameter annotated with a model receives the model.
        assert tools["distance"].inputSchema["required"] == ["p", "q"]
        result = await client.call_tool("distance", {"p": {"x": 0, "y": 0}, "q": {"x": 3, "y": 4}})
        assert not result.isError, text(result)
        assert text(result) == "5.0"

        # An argument the function does not take is refused, in the result.
        for arguments, error in [({"a": 1, "c": 9}, "c\n  Unexpected keyword argument"),
                                 ({"b": 1}, "a\n  Field required")]:
            result = await client.call_tool("add", arguments)
            assert result.isError and error in text(result), text(result)
        assert text(await client.call_tool("add", {"a": 1, "b": 2})) == "3"

        # The context parameter is the server's to fill, not the client's.
        schema = tools["whoami"].inputSchema
        assert list(schema["properties"]) == ["query"] and schema["required"] == ["query"]
        result = await client.call_tool("whoami", {"query": "where"})
        assert not result.isError, text(result)
        assert result.structuredContent == {"query": "where", "context": "Context", "session": True}

    # fastmcp's own import noise does not reach the server's standard error.
    assert "Warning" not in (served_dir / "server-stderr.log").read_text()
