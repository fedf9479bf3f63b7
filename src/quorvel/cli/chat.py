"""``quorvel chat``: one question, or the interactive chat loop."""

from __future__ import annotations

import argparse
import base64
import contextlib
import json
import math
import os
import re
import sys
from collections.abc import Iterator
from typing import TYPE_CHECKING, Any

from rich.console import Console

from quorvel.cli import history
from quorvel.cli.endpoint import chat_url, same_origin, without_credentials
from quorvel.cli.files import read_file, user_path
from quorvel.cli.live_tools import live_registry
from quorvel.cli.loading import native, tools_from
from quorvel.cli.printing import Printer
from quorvel.cli.screen import visible
from quorvel.cli.spending import Tally, tokens_text, totals_text
from quorvel.cli.text import PROG, CliError, describe, one_line
from quorvel.cli.turn import run_turn
from quorvel.cli.structured import load_output, run_structured_turn

if TYPE_CHECKING:
    from quorvel.modal import LLModal


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


def parse_seconds(text: str) -> float:
    """``--timeout``: a positive number of seconds."""
    try:
        seconds = float(text)
    except ValueError:
        seconds = math.nan
    if not math.isfinite(seconds) or seconds <= 0:
        raise argparse.ArgumentTypeError(f"expected a positive number of seconds, got {text!r}")
    return seconds


def parse_retries(text: str) -> int:
    """``--retries``: a whole number, 0 or more."""
    try:
        count = int(text, 10)
    except ValueError:
        count = -1
    if count < 0:
        raise argparse.ArgumentTypeError(f"expected a whole number, 0 or more, got {text!r}")
    return count


# A person at the terminal would rather wait a moment than retype a question
# that hit a busy server.
CLI_DEFAULT_RETRIES = 2


@contextlib.contextmanager
def _transport_settings(args: argparse.Namespace) -> Iterator[None]:
    """``--timeout`` and ``--retries`` as the settings the client reads: the
    environment variables of the section, for as long as the command runs."""
    configurator = native("config").Configurator
    wanted: dict[str, str] = {}
    if args.timeout is not None:
        wanted[configurator.env_name(args.section, "timeout")] = repr(args.timeout)
    retries = args.retries
    if retries is None and _config_value(args.section, "max_retries") is None:
        retries = CLI_DEFAULT_RETRIES
    if retries is not None:
        wanted[configurator.env_name(args.section, "max_retries")] = str(retries)
    saved = {name: os.environ.get(name) for name in wanted}
    os.environ.update(wanted)
    try:
        yield
    finally:
        for name, value in saved.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value


def _read_image(path: str) -> str:
    if not user_path(path).exists():
        raise CliError(f"image file not found: {path}")
    return base64.b64encode(read_file(path, "read image")).decode("ascii")


def _config_value(section: str, option: str) -> str | None:
    configurator = native("config").Configurator
    try:
        if configurator.has_option(section, option):
            return str(configurator.get(section, option))
    except (KeyError, ValueError, OSError) as exc:
        raise CliError(one_line(exc)) from None
    return None


def _conversation(args: argparse.Namespace, one_shot: bool, err: Console) -> history.Conversation | None:
    """The conversation ``--load`` names; in the interactive chat a bad file is one line and the chat goes on."""
    if not args.load:
        return None
    try:
        return history.load(args.load)
    except CliError as exc:
        if one_shot:
            raise
        _report(err, str(exc))
        return None


def _ask(console: Console, question: str) -> bool:
    """A yes/no question at the terminal; anything but yes (end of input, Ctrl-C too) is no."""
    try:
        console.print(visible(question) + " [y/N] ", end="", soft_wrap=True, markup=False, highlight=False)
        answer = console.input()
    except (EOFError, KeyboardInterrupt):
        console.print()
        return False
    return answer.strip().lower() in ("y", "yes")


def _endpoint(args: argparse.Namespace, loaded: history.Conversation | None, ask: Console | None) -> str | None:
    """The endpoint to post to: ``--endpoint``, else the section's, else the one a loaded conversation names.

    The API key of the section goes wherever the chat posts, and a conversation
    file may come from anyone.  Its endpoint is therefore used only when it is
    on the server configured for the section, or when the person at the
    terminal (``ask``) agrees; without one to ask, it is refused.
    """
    if args.endpoint:
        return str(args.endpoint)
    configured = _config_value(args.section, "endpoint")
    named = loaded.endpoint if loaded is not None else None
    if configured:
        return named if named and same_origin(named, configured) else configured
    if not named:
        return None
    shown = without_credentials(named)
    if ask is None:
        raise CliError(
            f"{args.load} names the endpoint {shown}, which is not configured for section [{args.section}]; "
            f"to send the conversation (and the API key) there, pass --endpoint {shown}"
        )
    if not _ask(ask, f"{args.load} names the endpoint {shown}, which is not configured for section "
                f"[{args.section}]. Send the conversation (and the API key) there?"):
        raise CliError(f"not using the endpoint named in {args.load}; pass --endpoint URL to choose one")
    return named


def _build_model(args: argparse.Namespace, loaded: history.Conversation | None, ask: Console | None) -> LLModal:
    endpoint = _endpoint(args, loaded, ask)
    if not endpoint:
        env = native("config").Configurator.env_name(args.section, "endpoint")
        raise CliError(f"no endpoint given: pass --endpoint URL or set {env}")
    endpoint = chat_url(endpoint)
    if args.tool_rounds is not None and args.tool_rounds < 0:
        raise CliError("--tool-rounds must not be negative")
    images = [_read_image(path) for path in args.image]
    tools = tools_from(args.tools, live_registry())

    extra_body: dict[str, Any] = {}
    model_name = args.model or _config_value(args.section, "model") or (loaded.model if loaded else None)
    if model_name:
        extra_body["model"] = model_name
    if not args.no_stream:
        extra_body["stream"] = True
    extra_body.update(dict(args.param))

    settings: dict[str, Any] = {}
    if args.tool_rounds is not None:
        settings["tool_calls_limit"] = args.tool_rounds
    LLModal = native("modal").LLModal
    model = LLModal(
        endpoint_url=endpoint,
        section=args.section,
        system_prompt=args.system or "",
        extra_body=extra_body,
        tools=tools,
        images=images,
        **settings,
    )
    if loaded is not None:
        model.messages = loaded.messages
    return model


CHAT_HELP = """\
commands:
  /retry        regenerate the last answer (kept as a new version of it),
                or ask again a question that got no answer
  /image PATH   attach an image to the next message
  /usage        the tokens the conversation has used so far
  /save FILE    write the conversation (with model, endpoint, time and usage) as JSON
  /load FILE    resume a conversation written by /save
  /quit         leave (Ctrl-D works too)
  //text        send a message that begins with "/"
Ctrl-C stops the answer being given; the conversation goes on."""


def _has_user_turn(model: LLModal) -> bool:
    return any(str(message.role) == "user" for message in model.messages)


def _report(err: Console, text: str) -> None:
    err.print(visible(f"{PROG}: error: {text}"), style="red", soft_wrap=True, markup=False, highlight=False)


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


def _after_turn(model: LLModal, tally: Tally, show: bool, console: Console) -> None:
    """Adds the turn's usage to the conversation's; with ``--usage``, one dim line says it."""
    from quorvel.usage import last_usage

    spent = last_usage(model)
    tally.add(spent)
    if show:
        console.print(tokens_text(spent), style="dim", soft_wrap=True, markup=False, highlight=False)


def _save(model: LLModal, filename: str, console: Console, err: Console, tally: Tally) -> None:
    """``/save FILE``: an existing file is replaced only when the user says so."""
    if user_path(filename).exists() and not _ask(console, f"{filename} exists; overwrite it?"):
        console.print(visible(f"not saved: {filename} is unchanged"), style="dim", soft_wrap=True, markup=False)
        return
    try:
        count = history.save(model, filename, usage=tally.to_json())
    except OSError as exc:
        _report(err, f"cannot write {filename}: {exc.strerror or describe(exc)}")
        return
    text = f"saved {history.messages_text(count)} to {filename}"
    console.print(visible(text), style="dim", soft_wrap=True, markup=False, highlight=False)


def _interactive(
    model: LLModal,
    console: Console,
    err: Console,
    raw: bool,
    turn: Any = run_turn,
    tally: Tally | None = None,
    show_usage: bool = False,
) -> int:
    tally = tally or Tally()
    with contextlib.suppress(ImportError):
        import readline  # noqa: F401  (line editing and history for input())

    printer = Printer(console, answer_label="assistant: ", err=err, raw=raw)
    details = [without_credentials(model.endpoint_url)]
    if "model" in model.extra_body:
        details.append(f"model {model.extra_body['model']}")
    details.append("streaming" if model.stream else "whole answers")
    if model.tools:
        details.append("tools: " + ", ".join(model.tools.names))
    banner = visible("quorvel chat · " + " · ".join(details))
    console.print(banner, style="dim", soft_wrap=True, markup=False, highlight=False)
    console.print("/help for commands, /quit to leave", style="dim", highlight=False)

    def report(text: str) -> None:
        _report(err, text)

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
                console.print(CHAT_HELP, markup=False, highlight=False)
            elif command == "/retry":
                if not _has_user_turn(model):
                    report("nothing to retry yet")
                    continue
                history.prepare_retry(model)
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
                _save(model, rest, console, err, tally)
            elif command == "/load":
                if not rest:
                    report("usage: /load FILE")
                    continue
                try:
                    loaded = history.load(rest)
                except CliError as exc:
                    report(str(exc))
                    continue
                model.messages = loaded.messages
                model.retry = False
                tally = Tally.from_json(loaded.usage)
                console.print(visible(_loaded_note(loaded, rest)), style="dim", soft_wrap=True, markup=False, highlight=False)
            elif command == "/usage":
                console.print(totals_text(tally.usage, tally.turns), style="dim", soft_wrap=True, markup=False, highlight=False)
            else:
                report(f"unknown command {command}; /help lists the commands")
        if prompt is None:
            continue
        outcome = turn(model, prompt, printer)
        if outcome == "stopped":
            printer.note("(stopped)")
        elif outcome is not None:
            report(outcome)
        _after_turn(model, tally, show_usage, console)
        console.print()


def _loaded_note(loaded: history.Conversation, filename: str) -> str:
    note = f"loaded {history.messages_text(len(loaded.messages))} from {filename}"
    endpoint = without_credentials(loaded.endpoint) if loaded.endpoint else ""
    held = [f"model {loaded.model}" if loaded.model else "", endpoint, loaded.saved_at or ""]
    held = [part for part in held if part]
    return note + (f" ({', '.join(held)})" if held else "")


def _replace_what_cannot_be_encoded() -> None:
    """A terminal or pipe whose encoding lacks a character shows "?" for it instead of failing the answer."""
    for stream in (sys.stdout, sys.stderr):
        reconfigure = getattr(stream, "reconfigure", None)
        if reconfigure is not None and getattr(stream, "errors", None) == "strict":
            with contextlib.suppress(ValueError, OSError):
                reconfigure(errors="replace")


def cmd_chat(args: argparse.Namespace) -> int:
    _replace_what_cannot_be_encoded()
    # Bound to the real standard output: while a turn runs, sys.stdout stands
    # for the library's own lines, which go to standard error.
    out = Console(file=sys.stdout, highlight=False)
    err = Console(stderr=True, highlight=False)
    question = args.message
    if question == "-":
        question = sys.stdin.read()
    output = load_output(args.schema) if args.schema else None
    loaded = _conversation(args, question is not None, err)
    at_terminal = question is None and sys.stdin.isatty()
    model = _build_model(args, loaded, out if at_terminal else None)
    tally = Tally.from_json(loaded.usage if loaded is not None else None)
    turn: Any = run_turn
    if output is not None:

        def turn(model: LLModal, prompt: str, printer: Printer) -> str | None:
            def show(text: str) -> None:
                out.print(visible(text, args.raw), soft_wrap=True, markup=False, highlight=False)

            return run_structured_turn(model, prompt, output, args.schema_mode, show)

    with _transport_settings(args):
        if question is None:
            if loaded is not None:
                note = visible(_loaded_note(loaded, args.load))
                out.print(note, style="dim", soft_wrap=True, markup=False, highlight=False)
            return _interactive(model, out, err, args.raw, turn, tally, args.usage)
        printer = Printer(out, err, raw=args.raw)
        outcome = turn(model, question, printer)
        _after_turn(model, tally, args.usage, err)
    if outcome == "stopped":
        raise KeyboardInterrupt
    if outcome is not None:
        raise CliError(outcome)
    return 0

