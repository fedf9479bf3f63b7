"""The ``quorvel`` command line.

Commands:

``quorvel demo``
    A self-contained, streamed, tool-using conversation: a scripted model on a
    loopback server (``quorvel.testing.ChatServer``) asks for a real tool from a
    ``Tools`` registry, then answers with the tool's result.  Needs no model server.

``quorvel chat``
    An interactive chat (or, with ``-m``, one question) against any
    OpenAI-compatible chat-completion endpoint.

``quorvel mcp serve MODULE``
    Serves the public functions of a Python module (plain or Cython-compiled) as
    MCP tools over stdio, each through ``CythonFunctionTool``.

Bad input is reported as one line on standard error with exit status 1.

The package holds one concern per module: ``text`` (errors and one-line texts),
``screen`` (server text made safe for a terminal), ``files`` (reading and
writing the chat's files), ``loading`` (native and user modules), ``printing``
(records on screen), ``live_tools`` (tool batches shown as they run), ``turn``
(one exchange, Ctrl-C, retries, failure text), ``failure`` (the words of a
failure), ``history`` (repairs and conversation files), ``endpoint`` (URLs),
``chat``, ``demo``, ``mcp_serve`` and ``parser`` (arguments and :func:`main`).
"""

from __future__ import annotations

from quorvel.cli.chat import parse_param
from quorvel.cli.loading import load_module, public_functions
from quorvel.cli.parser import build_parser, main
from quorvel.cli.text import CliError

__all__ = ["main", "CliError", "load_module", "public_functions", "parse_param", "build_parser"]
