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
"""

from __future__ import annotations

import argparse
import base64
import contextlib
import importlib
import importlib.util
import inspect
import json
import os
import re
import signal
import sys
import time
import warnings
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path
from types import FrameType, ModuleType
from typing import TYPE_CHECKING, Any

from rich.console import Console

if TYPE_CHECKING:
    from quorvel.modal import LLModal, LLMResult
    from quorvel.testing import RecordedRequest, Reply
    from quorvel.tools import Tools

__all__ = ["main", "CliError", "load_module", "public_functions", "parse_param"]

PROG = "quorvel"
_RESULT_PREVIEW = 400  # characters of a tool result shown on screen


class CliError(Exception):
    """Bad input or an unusable environment: reported as one line, exit status 1."""


def _one_line(text: object) -> str:
    return " ".join(str(text).split())


def _describe(exc: BaseException) -> str:
    text = _one_line(exc)
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


def _shorten(text: str, limit: int) -> str:
    return text if len(text) <= limit else text[: limit - 1] + "…"


# ---------------------------------------------------------------------------
# Loading the package's native modules and the user's modules
# ---------------------------------------------------------------------------


# fastmcp's import of authlib announces a deprecation that is no business of a
# command-line user; authlib forces it through with an "always" filter.
_NOISE = re.compile(r"authlib\.jose module is deprecated")


def _native(what: str) -> Any:
    """Import ``quorvel.<what>``; a missing or broken build becomes a CliError."""
    with warnings.catch_warnings(record=True) as caught:
        try:
            module = importlib.import_module(f"quorvel.{what}")
        except ImportError as exc:
            raise CliError(
                f"cannot load quorvel.{what} ({_describe(exc)}); build the extension modules or reinstall quorvel"
            ) from None
    for warning in caught:
        if not _NOISE.match(str(warning.message)):
            warnings.showwarning(warning.message, warning.category, warning.filename, warning.lineno)
    return module


def _looks_like_path(target: str) -> bool:
    return target.endswith((".py", ".so", ".pyd")) or "/" in target or (os.sep != "/" and os.sep in target)


def load_module(target: str) -> ModuleType:
    """Import ``target``: a dotted module name or the path of a ``.py``/extension file.

    Module names are looked up from the current directory too, as ``python -m``
    does.  Any failure while importing becomes a :class:`CliError`.
    """
    if _looks_like_path(target):
        path = Path(target)
        if not path.is_file():
            raise CliError(f"cannot import {target}: no such file")
        name = path.name.split(".", 1)[0]
        found = importlib.util.spec_from_file_location(name, path)
        if found is None or found.loader is None:
            raise CliError(f"cannot import {target}: not a Python module")
        module = importlib.util.module_from_spec(found)
        parent = str(path.resolve().parent)
        if parent not in sys.path:
            sys.path.insert(0, parent)  # so that the module finds its siblings
        sys.modules[name] = module
        try:
            found.loader.exec_module(module)
        except (Exception, SystemExit) as exc:
            sys.modules.pop(name, None)
            raise CliError(f"cannot import {target}: {_describe(exc)}") from None
        return module
    cwd = os.getcwd()
    if cwd not in sys.path and "" not in sys.path:
        sys.path.insert(0, cwd)
    try:
        return importlib.import_module(target)
    except (Exception, SystemExit) as exc:
        raise CliError(f"cannot import module {target!r}: {_describe(exc)}") from None


def public_functions(module: ModuleType) -> list[tuple[str, Callable[..., Any]]]:
    """The functions a module offers, as ``(name, function)`` in definition order.

    With ``__all__`` exactly the routines it lists; otherwise every routine whose
    name does not begin with an underscore and that the module defines itself
    (imported helpers are left out).  Classes are never included.
    """
    listed = getattr(module, "__all__", None)
    names = list(listed) if listed is not None else [n for n in vars(module) if not n.startswith("_")]
    found = []
    for name in names:
        obj = getattr(module, name, None)
        if obj is None or isinstance(obj, type) or not inspect.isroutine(obj):
            continue
        if listed is None and getattr(obj, "__module__", None) != module.__name__:
            continue
        found.append((name, obj))
    return found


def _module_functions(target: str) -> list[tuple[str, Callable[..., Any]]]:
    # Whatever the module prints while importing must not reach stdout: for
    # `mcp serve` that is the protocol channel.
    with contextlib.redirect_stdout(sys.stderr):
        module = load_module(target)
    functions = public_functions(module)
    if not functions:
        raise CliError(f"module {target!r} has no public functions")
    return functions


def _tools_from(targets: Sequence[str]) -> Tools:
    tools = _native("tools").Tools()
    for target in targets:
        for name, fn in _module_functions(target):
            try:
                tools.register(fn, name=name)
            except (TypeError, ValueError) as exc:
                raise CliError(f"cannot register {name} from {target}: {_one_line(exc)}") from None
    return tools


def _signature(fn: Callable[..., Any]) -> str:
    try:
        return ", ".join(inspect.signature(fn).parameters)
    except (TypeError, ValueError):
        return "..."


# ---------------------------------------------------------------------------
# Showing records as they arrive
# ---------------------------------------------------------------------------


class Printer:
    """Renders the records of answers as they arrive.

    Answer text goes to ``out``; reasoning (dimmed) and tool records go to
    ``side``, which is the same console in a terminal session and standard
    error for one-shot questions, so that a pipe receives the answer alone.
    """

    def __init__(self, out: Console, side: Console | None = None, *, answer_label: str = "") -> None:
        self.out = out
        self.side = side or out
        self.answer_label = answer_label
        self._mode: str | None = None
        self._open: dict[int, Console] = {}  # consoles whose current line is unfinished
        self.answered = False

    def _write(self, console: Console, text: str, style: str | None = None) -> None:
        if not text:
            return
        console.print(text, end="", style=style, soft_wrap=True, markup=False, highlight=False)
        if text.endswith("\n"):
            self._open.pop(id(console), None)
        else:
            self._open[id(console)] = console

    def end_line(self) -> None:
        """Finish any unfinished line."""
        for console in list(self._open.values()):
            self._write(console, "\n")
        self._open.clear()

    def finish(self) -> None:
        """End of an answer: the next one starts afresh."""
        self.end_line()
        self._mode = None

    def _switch(self, mode: str | None) -> bool:
        if self._mode == mode:
            return False
        self.end_line()
        self._mode = mode
        return True

    def reasoning(self, text: str) -> None:
        if self._switch("reason"):
            self._write(self.side, "thinking: ", "dim bold")
        self._write(self.side, text, "dim")

    def answer(self, text: str) -> None:
        if self._switch("answer") and self.answer_label:
            self._write(self.out, self.answer_label, "bold blue")
        self._write(self.out, text)
        self.answered = True

    def tool_calls(self, calls: dict[str, Any]) -> None:
        self._switch(None)
        for call_id, call in calls.items():
            if isinstance(call.content, dict):
                args = ", ".join(f"{k}={json.dumps(v, ensure_ascii=False)}" for k, v in call.content.items())
            else:
                args = str(call.content)
            self._write(self.side, "tool call  ", "bold cyan")
            self._write(self.side, f"{call.name}({args})  [{call_id}]\n", "cyan")

    def tool_results(self, results: dict[str, Any]) -> None:
        self._switch(None)
        for call_id, result in results.items():
            if isinstance(result.content, str):
                text = result.content
            else:
                text = json.dumps(result.content, ensure_ascii=False)
            self._write(self.side, "tool result  ", "bold green")
            self._write(self.side, f"{result.name} -> {_shorten(_one_line(text), _RESULT_PREVIEW)}  [{call_id}]\n", "green")

    def show(self, record: LLMResult) -> None:
        """One streamed record, or the single record of a whole answer.

        A whole answer that ran tools carries the calls and results of every
        exchange and the texts of the last one, so the texts come after them.
        """
        if record.tool_calls:
            self.tool_calls(record.tool_calls)
        if record.tool_results:
            self.tool_results(record.tool_results)
        if record.reasoning_content:
            self.reasoning(record.reasoning_content)
        if record.content:
            self.answer(record.content)

    def note(self, text: str, style: str = "dim") -> None:
        self._switch(None)
        self._write(self.side, text + "\n", style)


# ---------------------------------------------------------------------------
# One exchange with the model
# ---------------------------------------------------------------------------


class _StopOnInterrupt:
    """While a streamed answer is read, Ctrl-C asks the model to stop it.

    The first Ctrl-C sets the model's ``_close`` flag, which ends the stream at
    the next line the server sends; a second one interrupts at once.
    """

    def __init__(self, model: LLModal) -> None:
        self.model = model
        self.stopped = False
        self._previous: Any = None

    def _handle(self, signum: int, frame: FrameType | None) -> None:
        if self.stopped:
            raise KeyboardInterrupt
        self.stopped = True
        self.model._close = True

    def __enter__(self) -> _StopOnInterrupt:
        try:
            self._previous = signal.signal(signal.SIGINT, self._handle)
        except ValueError:  # not the main thread: leave Ctrl-C alone
            self._previous = None
        return self

    def __exit__(self, *exc_info: object) -> None:
        if self._previous is not None:
            signal.signal(signal.SIGINT, self._previous)
        # A stop requested after the last line was read must not end the next answer.
        self.model._close = False


def _connection_reason(exc: BaseException) -> str:
    match = re.search(r"\[Errno -?\d+\] ([^'\")\]]+)", str(exc))
    return match.group(1).strip() if match else _one_line(exc)


def _request_failure(exc: Exception, endpoint: str) -> str:
    import requests

    if isinstance(exc, requests.exceptions.ConnectionError):
        return f"cannot connect to {endpoint}: {_connection_reason(exc)}"
    if isinstance(exc, requests.exceptions.RequestException):
        return f"request to {endpoint} failed: {_describe(exc)}"
    text = _one_line(exc)
    if text.startswith("code: "):
        return f"the server refused the request: {_shorten(text, 300)}"
    return f"request failed: {_shorten(_describe(exc), 300)}"


def run_turn(model: LLModal, prompt: str, printer: Printer) -> str | None:
    """Ask ``prompt`` and show the answer as it arrives.

    Returns ``None`` on success, ``"stopped"`` when the user interrupted, or the
    one-line description of a failure.  In every case the conversation is kept.
    """
    streaming = bool(model.stream)
    outcome: str | None = None
    records: Any = None
    guard = _StopOnInterrupt(model) if streaming else contextlib.nullcontext()
    try:
        with guard:
            try:
                records = model.invoke(prompt)
                if streaming:
                    for record in records:
                        printer.show(record)
                else:
                    printer.show(records)
            except KeyboardInterrupt:
                if streaming and hasattr(records, "close"):
                    records.close()
                model._reset()
                outcome = "stopped"
            except Exception as exc:
                outcome = _request_failure(exc, model.endpoint_url)
            if streaming and guard.stopped and outcome is None:  # type: ignore[union-attr]
                outcome = "stopped"
    finally:
        printer.finish()
        if model.retry:
            # A regeneration that produced no text leaves the flag set; the
            # next prompt must be a new turn, not a new version of the old one.
            model.retry = False
    return outcome


# ---------------------------------------------------------------------------
# quorvel chat
# ---------------------------------------------------------------------------


def parse_param(text: str) -> tuple[str, Any]:
    """``KEY=VALUE`` with VALUE read as JSON when it parses, as text otherwise."""
    key, sep, raw = text.partition("=")
    key = key.strip()
    if not sep or not key:
        raise argparse.ArgumentTypeError(f"expected KEY=VALUE, got {text!r}")
    try:
        value: Any = json.loads(raw)
    except ValueError:
        value = raw
    return key, value


def _read_image(path: str) -> str:
    try:
        data = Path(path).read_bytes()
    except FileNotFoundError:
        raise CliError(f"image file not found: {path}") from None
    except OSError as exc:
        raise CliError(f"cannot read image {path}: {exc.strerror or _describe(exc)}") from None
    return base64.b64encode(data).decode("ascii")


def _config_value(section: str, option: str) -> str | None:
    configurator = _native("config").Configurator
    try:
        if configurator.has_option(section, option):
            return str(configurator.get(section, option))
    except (KeyError, ValueError, OSError) as exc:
        raise CliError(_one_line(exc)) from None
    return None


def _build_model(args: argparse.Namespace) -> LLModal:
    endpoint = args.endpoint or _config_value(args.section, "endpoint")
    if not endpoint:
        env = _native("config").Configurator.env_name(args.section, "endpoint")
        raise CliError(f"no endpoint given: pass --endpoint URL or set {env}")
    if not re.match(r"https?://[^/\s]", endpoint):
        raise CliError(f"invalid endpoint {endpoint!r}: expected an http:// or https:// URL")
    images = [_read_image(path) for path in args.image]
    tools = _tools_from(args.tools)

    extra_body: dict[str, Any] = {}
    model_name = args.model or _config_value(args.section, "model")
    if model_name:
        extra_body["model"] = model_name
    if not args.no_stream:
        extra_body["stream"] = True
    extra_body.update(dict(args.param))

    LLModal = _native("modal").LLModal
    return LLModal(
        endpoint_url=endpoint,
        section=args.section,
        system_prompt=args.system or "",
        extra_body=extra_body,
        tools=tools,
        images=images,
    )


_CHAT_HELP = """\
commands:
  /retry        regenerate the last answer (kept as a new version of it)
  /image PATH   attach an image to the next message
  /save FILE    write the conversation history as JSON
  /quit         leave (Ctrl-D works too)
  //text        send a message that begins with "/"
Ctrl-C while an answer streams stops it; the conversation goes on."""


def _save_history(model: LLModal, filename: str) -> int:
    history = [message.model_dump(mode="json") for message in model.messages]
    Path(filename).write_text(json.dumps(history, indent=2, ensure_ascii=False) + "\n", encoding="utf-8")
    return len(history)


def _has_user_turn(model: LLModal) -> bool:
    return any(str(message.role) == "user" for message in model.messages)


def _read_line(console: Console) -> str | None:
    """The next line typed at the prompt; ``None`` at end of input."""
    while True:
        try:
            return console.input("[bold green]you>[/] ")
        except KeyboardInterrupt:
            console.print()
        except EOFError:
            console.print()
            return None


def _interactive(model: LLModal, console: Console, err: Console) -> int:
    with contextlib.suppress(ImportError):
        import readline  # noqa: F401  (line editing and history for input())

    printer = Printer(console, answer_label="assistant: ")
    details = [model.endpoint_url]
    if "model" in model.extra_body:
        details.append(f"model {model.extra_body['model']}")
    details.append("streaming" if model.stream else "whole answers")
    if model.tools:
        details.append("tools: " + ", ".join(model.tools.names))
    console.print("quorvel chat · " + " · ".join(details), style="dim", soft_wrap=True, markup=False, highlight=False)
    console.print("/help for commands, /quit to leave", style="dim", highlight=False)

    def report(text: str) -> None:
        err.print(f"{PROG}: error: {text}", style="red", soft_wrap=True, markup=False, highlight=False)

    while True:
        line = _read_line(console)
        if line is None:
            return 0
        text = line.strip()
        if not text:
            continue
        prompt: str | None = text
        if text.startswith("//"):
            prompt = text[1:]
        elif text.startswith("/"):
            command, _, rest = text.partition(" ")
            rest = rest.strip()
            prompt = None
            if command in ("/quit", "/exit", "/q"):
                return 0
            if command == "/help":
                console.print(_CHAT_HELP, markup=False, highlight=False)
            elif command == "/retry":
                if not _has_user_turn(model):
                    report("nothing to retry yet")
                    continue
                model.retry = True
                prompt = ""
            elif command == "/image":
                if not rest:
                    report("usage: /image PATH")
                    continue
                try:
                    model.images.append(_read_image(rest))
                except CliError as exc:
                    report(str(exc))
                    continue
                console.print(f"image attached to the next message ({len(model.images)} pending)", style="dim", highlight=False)
            elif command == "/save":
                if not rest:
                    report("usage: /save FILE")
                    continue
                try:
                    count = _save_history(model, rest)
                except OSError as exc:
                    report(f"cannot write {rest}: {exc.strerror or _describe(exc)}")
                    continue
                console.print(f"saved {count} messages to {rest}", style="dim", highlight=False)
            else:
                report(f"unknown command {command}; /help lists the commands")
        if prompt is None:
            continue
        outcome = run_turn(model, prompt, printer)
        if outcome == "stopped":
            printer.note("(stopped)")
        elif outcome is not None:
            report(outcome)
        console.print()


def cmd_chat(args: argparse.Namespace) -> int:
    out = Console(highlight=False)
    err = Console(stderr=True, highlight=False)
    question = args.message
    if question == "-":
        question = sys.stdin.read()
    model = _build_model(args)
    if question is None:
        return _interactive(model, out, err)
    printer = Printer(out, err)
    outcome = run_turn(model, question, printer)
    if outcome == "stopped":
        raise KeyboardInterrupt
    if outcome is not None:
        raise CliError(outcome)
    return 0


# ---------------------------------------------------------------------------
# quorvel demo
# ---------------------------------------------------------------------------

_DEMO_QUESTION = "What's the weather in Paris right now? Should I take an umbrella?"
_DEMO_CALL_ID = "call_weather_1"

_WEATHER = {
    "paris": (14, "light rain", 80),
    "london": (11, "overcast", 70),
    "tokyo": (22, "clear", 45),
}


def get_weather(city: str, unit: str = "celsius") -> dict[str, Any]:
    """Current weather for a city: temperature, conditions and humidity.

    unit is "celsius" or "fahrenheit".
    """
    temperature, conditions, humidity = _WEATHER.get(city.strip().lower(), (18, "sunny", 50))
    if unit == "fahrenheit":
        temperature = round(temperature * 9 / 5 + 32)
    return {
        "city": city,
        "temperature": temperature,
        "unit": unit,
        "conditions": conditions,
        "humidity_percent": humidity,
    }


def _words(text: str) -> list[str]:
    """Split text into stream-sized pieces that join back to the text."""
    return re.findall(r"\S+\s*|\s+", text)


def _demo_replies(delay: float) -> list[Callable[[RecordedRequest], Reply]]:
    from quorvel.testing import Reply, role_chunk, sse_body, text_chunk, tool_call_chunk, finish_chunk

    def lines(chunks: list[dict[str, Any]]) -> Reply:
        return Reply.raw_lines(sse_body(chunks).split(b"\n")[:-1], delay=delay)

    def ask_for_tool(request: RecordedRequest) -> Reply:
        offered = [t.get("function", {}).get("name") for t in (request.json or {}).get("tools", [])]
        thought = "The user wants the current weather in Paris. I can't know that myself"
        thought += ", but the get_weather tool can look it up." if "get_weather" in offered else "."
        arguments = json.dumps({"city": "Paris", "unit": "celsius"})
        chunks = [role_chunk()]
        chunks += [text_chunk(reasoning=piece) for piece in _words(thought)]
        chunks.append(tool_call_chunk(0, _DEMO_CALL_ID, "get_weather"))
        chunks += [tool_call_chunk(0, arguments=arguments[i : i + 12]) for i in range(0, len(arguments), 12)]
        chunks.append(finish_chunk("tool_calls"))
        return lines(chunks)

    def answer(request: RecordedRequest) -> Reply:
        messages = (request.json or {}).get("messages", [])
        result = next((m for m in reversed(messages) if m.get("role") == "tool"), None)
        try:
            weather = json.loads(result["content"]) if result else None
            degrees = "°C" if weather["unit"] == "celsius" else "°F"
            thought = f"The tool says {weather['conditions']} at {weather['temperature']}{degrees}. Rain means umbrella."
            text = (
                f"It's {weather['temperature']}{degrees} in {weather['city']} with {weather['conditions']} "
                f"(humidity {weather['humidity_percent']}%). "
            )
            rainy = "rain" in weather["conditions"]
            text += "Yes, take an umbrella." if rainy else "You can leave the umbrella at home."
        except (KeyError, TypeError, ValueError):
            thought = "The tool result did not come back."
            text = "Sorry, I could not look up the weather."
        chunks = [role_chunk()]
        chunks += [text_chunk(reasoning=piece) for piece in _words(thought)]
        chunks += [text_chunk(piece) for piece in _words(text)]
        chunks.append(finish_chunk("stop"))
        return lines(chunks)

    return [ask_for_tool, answer]


def cmd_demo(args: argparse.Namespace) -> int:
    if args.delay < 0:
        raise CliError("--delay must not be negative")
    LLModal = _native("modal").LLModal
    tools = _native("tools").Tools()
    tools.register(get_weather)
    from quorvel.testing import ChatServer

    console = Console(highlight=False)
    printer = Printer(console, answer_label="assistant: ")
    with ChatServer() as server:
        server.add(*_demo_replies(args.delay))
        model = LLModal(
            endpoint_url=server.url,
            system_prompt="You are a helpful assistant. Use the tools when they help.",
            extra_body={"model": "scripted-demo", "stream": True},
            tools=tools,
        )
        console.print(f"quorvel demo: a scripted model on {server.url}", style="dim", soft_wrap=True, markup=False)
        console.print(f"tools: get_weather({_signature(get_weather)})", style="dim", markup=False)
        console.print("you: ", style="bold green", end="", markup=False)
        console.print(_DEMO_QUESTION, markup=False)
        started = time.monotonic()
        outcome = run_turn(model, _DEMO_QUESTION, printer)
        if outcome == "stopped":
            raise CliError("interrupted")
        if outcome is not None:
            raise CliError(outcome)
        elapsed = time.monotonic() - started
        roles = []
        for message in model.messages:
            role = str(message.role)
            roles.append(f"{role} (tool calls)" if message.tool_calls else role)
        console.print(
            f"\n{len(server.requests)} requests in {elapsed:.1f}s; history: {', '.join(roles)}",
            style="dim",
            soft_wrap=True,
            markup=False,
        )
    return 0


# ---------------------------------------------------------------------------
# quorvel mcp serve
# ---------------------------------------------------------------------------


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
        parameters=compress_schema(parameters, prune_titles=True, dereference=True),
    )


def build_mcp_server(target: str, name: str | None = None) -> Any:
    """A FastMCP server offering the public functions of ``target`` as tools."""
    functions = _module_functions(target)
    cython = _native("cython")
    try:
        from fastmcp import FastMCP
    except ImportError as exc:
        raise CliError(f"cannot load fastmcp ({_describe(exc)})") from None
    server = FastMCP(name=name or f"quorvel: {target}")
    added = 0
    for fn_name, fn in functions:
        try:
            tool = _mcp_tool(cython, fn, fn_name)
        except Exception as exc:
            print(f"{PROG}: warning: skipping {fn_name}: {_one_line(exc)}", file=sys.stderr)
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


# ---------------------------------------------------------------------------
# Argument parsing
# ---------------------------------------------------------------------------


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
        epilog=_CHAT_HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    chat.add_argument(
        "--endpoint",
        metavar="URL",
        help="chat-completion URL, e.g. http://localhost:8000/v1/chat/completions "
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
        "-m", "--message", metavar="TEXT", help="ask one question, print the answer and exit ('-' reads stdin)"
    )
    chat.set_defaults(handler=cmd_chat)

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


def main(argv: Sequence[str] | None = None) -> int:
    """Run the ``quorvel`` command; returns the exit status."""
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:
        return exc.code if isinstance(exc.code, int) else 1
    try:
        return int(args.handler(args))
    except CliError as exc:
        sys.stdout.flush()
        print(f"{PROG}: error: {_one_line(exc)}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        sys.stdout.flush()
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
