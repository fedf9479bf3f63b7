"""The argument parser and the entry point of the ``quorvel`` command."""

from __future__ import annotations

import argparse
import sys
import warnings
from collections.abc import Sequence
from typing import TextIO

from quorvel.cli.batch import add_batch_command
from quorvel.cli.chat import CHAT_HELP, cmd_chat, parse_param, parse_retries, parse_seconds
from quorvel.cli.demo import cmd_demo
from quorvel.cli.mcp_serve import cmd_mcp_serve
from quorvel.cli.screen import visible
from quorvel.cli.structured import SCHEMA_HELP, SCHEMA_MODES
from quorvel.cli.text import PROG, CliError, one_line


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Chat with OpenAI-compatible chat-completion servers, run tools, serve functions over MCP.",
    )
    from quorvel import __version__

    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    demo = commands.add_parser(
        "demo",
        help="a streamed, tool-using conversation with a scripted model (no server needed)",
        description="Start a scripted model on a loopback server and run a streamed conversation "
        "in which it calls a real tool (get_weather) and answers with the result.",
    )
    demo.add_argument(
        "--delay", type=float, default=0.03, metavar="SECONDS", help="pause between streamed lines (default 0.03)"
    )
    demo.set_defaults(handler=cmd_demo)

    chat = commands.add_parser(
        "chat",
        help="chat with an OpenAI-compatible endpoint",
        description="Chat with any OpenAI-compatible chat-completion endpoint.\n\n"
        "The API key is read from the configuration: the environment variable\n"
        "QUORVEL_<SECTION>_API_KEY, else the option api_key in section [SECTION] of\n"
        "$QUORVEL_CONFIG (default ~/.config/quorvel/config.ini).",
        epilog=CHAT_HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    chat.add_argument(
        "--endpoint",
        metavar="URL",
        help="server URL: a base URL such as http://localhost:8000/v1 (the chat-completion route "
        "is added) or the full http://localhost:8000/v1/chat/completions "
        "(default: option 'endpoint' of the section)",
    )
    chat.add_argument("--section", default="llm", help="configuration section holding api_key (default: llm)")
    chat.add_argument("--system", metavar="TEXT", help="system prompt")
    chat.add_argument("--model", help="model name sent in the request (default: option 'model' of the section)")
    chat.add_argument(
        "--param",
        action="append",
        default=[],
        type=parse_param,
        metavar="KEY=VALUE",
        help="request parameter, repeatable; VALUE is JSON when it parses, else text (e.g. temperature=0.2)",
    )
    chat.add_argument("--no-stream", action="store_true", help="ask for whole answers instead of streams")
    chat.add_argument(
        "--timeout",
        type=parse_seconds,
        metavar="SECONDS",
        help="seconds to wait for the server's next bytes before the request fails "
        "(default: option 'timeout' of the section, else 600)",
    )
    chat.add_argument(
        "--retries",
        type=parse_retries,
        metavar="N",
        help="times a request is sent again after a connection error, a timeout before the answer "
        "or a status 408, 409, 429 or 5xx (default: option 'max_retries' of the section, else 2)",
    )
    chat.add_argument(
        "--image", action="append", default=[], metavar="PATH", help="attach an image to the first message; repeatable"
    )
    chat.add_argument(
        "--tools",
        action="append",
        default=[],
        metavar="MODULE",
        help="offer the public functions of MODULE (a module name or a .py file) as tools; repeatable",
    )
    chat.add_argument(
        "--tool-rounds",
        type=int,
        metavar="N",
        help="how many rounds of tool calls one question may run (sets tool_calls_limit; default 3)",
    )
    chat.add_argument(
        "--usage",
        action="store_true",
        help="after each answer, print the tokens it used (in, out, cached, reasoning) as one dim line",
    )
    chat.add_argument(
        "--load",
        metavar="FILE",
        help="resume a conversation written by /save (the endpoint it names is used only when on the "
        "section's server, or when you confirm it at the terminal)",
    )
    chat.add_argument(
        "--raw",
        action="store_true",
        help="print answers, reasoning and tool records as received, control characters included "
        "(by default they are shown escaped)",
    )
    chat.add_argument(
        "-m", "--message", metavar="TEXT", help="ask one question, print the answer and exit ('-' reads stdin)"
    )
    chat.add_argument("--schema", metavar="MODULE:CLASS|FILE.json", help=SCHEMA_HELP)
    chat.add_argument(
        "--schema-mode",
        choices=SCHEMA_MODES,
        default="json_schema",
        help="how --schema is asked for: response_format (json_schema, the default), a forced "
        "final_result tool (tool) or instructions in the prompt (prompted)",
    )
    chat.set_defaults(handler=cmd_chat)

    add_batch_command(commands, parse_param, parse_seconds, parse_retries)

    mcp = commands.add_parser(
        "mcp", help="Model Context Protocol tools", description="Model Context Protocol tools."
    )
    mcp_commands = mcp.add_subparsers(dest="mcp_command", metavar="COMMAND")
    mcp_commands.required = True
    serve = mcp_commands.add_parser(
        "serve",
        help="serve a module's public functions as MCP tools over stdio",
        description="Serve the public functions of a Python module (plain or Cython-compiled) as MCP "
        "tools over stdio. MODULE is a module name (looked up from the current directory too) "
        "or the path of a .py or extension file. With __all__, exactly the functions it lists.",
    )
    serve.add_argument("module", metavar="MODULE", help="module name or file path")
    serve.add_argument("--name", help="server name announced to clients (default: the module)")
    serve.set_defaults(handler=cmd_mcp_serve)
    return parser


def _show_warning(
    message: Warning | str, category: type[Warning], filename: str, lineno: int, file: TextIO | None = None, line: str | None = None
) -> None:
    """A warning is one plain line for a command-line user, without the Python source line."""
    stream = file if file is not None else sys.stderr
    try:
        stream.write(visible(f"{PROG}: warning: {one_line(message)}\n"))
        stream.flush()
    except (OSError, ValueError):
        pass  # nowhere to say it


def main(argv: Sequence[str] | None = None) -> int:
    """Run the ``quorvel`` command; returns the exit status."""
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:
        return exc.code if isinstance(exc.code, int) else 1
    try:
        with warnings.catch_warnings():
            warnings.showwarning = _show_warning
            return int(args.handler(args))
    except CliError as exc:
        sys.stdout.flush()
        print(visible(f"{PROG}: error: {one_line(exc)}"), file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        sys.stdout.flush()
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
