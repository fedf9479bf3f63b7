"""``quorvel batch IN.jsonl -o OUT.jsonl``: a batch run from the command line.

The rows run through :mod:`quorvel.batch`; standard error shows a progress bar
(rows done, failed, rows per second, time left) when it is a terminal, and one
summary line at the end in any case.  Ctrl-C stops at once: every line written
is whole, and the rows that were running run on the next start of the same
command.
"""

from __future__ import annotations

import argparse
import contextlib
import sys
import threading
from typing import TYPE_CHECKING, Any

from rich.console import Console
from rich.progress import (
    BarColumn,
    MofNCompleteColumn,
    Progress,
    ProgressColumn,
    Task,
    TextColumn,
    TimeRemainingColumn,
)
from rich.text import Text

from quorvel.cli.chat import _config_value, _transport_settings
from quorvel.cli.endpoint import chat_url
from quorvel.cli.loading import native, tools_from
from quorvel.cli.text import PROG, CliError, one_line
from quorvel.cli.turn import LibraryOutput

if TYPE_CHECKING:
    from quorvel.batch.runner import Plan, Summary
    from quorvel.modal import LLModal

BATCH_HELP = """\
input lines (JSONL), either shape:
  {"custom_id": "q1", "method": "POST", "url": "/v1/chat/completions",
   "body": {"model": "...", "messages": [{"role": "user", "content": "..."}]}}
  {"custom_id": "q2", "prompt": "...", "system": "...", "extra_body": {"temperature": 0}}
output lines: {"id", "custom_id", "response": {"status_code", "body"}, "error", "quorvel"}
Run the same command again to resume: rows that have a line are skipped."""


def positive_int(text: str) -> int:
    try:
        value = int(text, 10)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a whole number, 1 or more, got {text!r}")
    return value


def positive_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = 0.0
    if not value > 0 or value == float("inf"):
        raise argparse.ArgumentTypeError(f"expected a positive number, got {text!r}")
    return value


def add_batch_command(commands: Any, parse_param: Any, parse_seconds: Any, parse_retries: Any) -> None:
    batch = commands.add_parser(
        "batch",
        help="run a JSONL file of requests, each as its own conversation (resumable)",
        description="Run every request of a JSONL file as its own conversation against an "
        "OpenAI-compatible endpoint and append one line per row to the output. Rows that "
        "already have a line in the output are skipped, so the same command resumes.",
        epilog=BATCH_HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    batch.add_argument("input", metavar="IN.jsonl", help="the requests, one JSON object per line")
    batch.add_argument("-o", "--output", required=True, metavar="OUT.jsonl", help="the output file (appended to)")
    batch.add_argument(
        "--endpoint",
        metavar="URL",
        help="server URL: a base URL such as http://localhost:8000/v1 or the full chat-completion URL "
        "(default: option 'endpoint' of the section)",
    )
    batch.add_argument("--model", help="model name sent in the request (default: option 'model' of the section)")
    batch.add_argument("--section", default="llm", help="configuration section holding api_key (default: llm)")
    batch.add_argument("--system", metavar="TEXT", help="system prompt for rows that bring none")
    batch.add_argument(
        "--param",
        action="append",
        default=[],
        type=parse_param,
        metavar="KEY=VALUE",
        help="request parameter for every row, repeatable (a row's own parameters win)",
    )
    batch.add_argument("--stream", action="store_true", help="ask for streamed answers (default: whole answers)")
    batch.add_argument("--workers", type=positive_int, default=8, metavar="N", help="rows run at once (default 8)")
    batch.add_argument(
        "--rpm", type=positive_float, metavar="N", help="requests per minute, shared by all workers (default: no limit)"
    )
    batch.add_argument(
        "--tools",
        action="append",
        default=[],
        metavar="MODULE",
        help="offer the public functions of MODULE (a module name or a .py file) as tools; repeatable",
    )
    batch.add_argument(
        "--tool-rounds", type=int, metavar="N", help="rounds of tool calls one row may run (default 3)"
    )
    batch.add_argument("--retry-failed", action="store_true", help="run again the rows whose line holds an error")
    batch.add_argument(
        "--timeout",
        type=parse_seconds,
        metavar="SECONDS",
        help="seconds to wait for the server's next bytes (default: option 'timeout' of the section, else 600)",
    )
    batch.add_argument(
        "--retries",
        type=parse_retries,
        metavar="N",
        help="times a request is sent again after a connection error, a timeout before the answer or a "
        "status 408, 409, 429 or 5xx (default: option 'max_retries' of the section, else 2)",
    )
    batch.set_defaults(handler=cmd_batch)


def _template(args: argparse.Namespace) -> LLModal:
    endpoint = args.endpoint or _config_value(args.section, "endpoint")
    if not endpoint:
        env = native("config").Configurator.env_name(args.section, "endpoint")
        raise CliError(f"no endpoint given: pass --endpoint URL or set {env}")
    if args.tool_rounds is not None and args.tool_rounds < 0:
        raise CliError("--tool-rounds must not be negative")
    extra_body: dict[str, Any] = {}
    model_name = args.model or _config_value(args.section, "model")
    if model_name:
        extra_body["model"] = model_name
    if args.stream:
        extra_body["stream"] = True
    extra_body.update(dict(args.param))
    settings: dict[str, Any] = {}
    if args.tool_rounds is not None:
        settings["tool_calls_limit"] = args.tool_rounds
    return native("modal").LLModal(
        endpoint_url=chat_url(endpoint),
        section=args.section,
        system_prompt=args.system or "",
        extra_body=extra_body,
        tools=tools_from(args.tools),
        **settings,
    )


class _RateColumn(ProgressColumn):
    def render(self, task: Task) -> Text:
        speed = task.finished_speed or task.speed
        return Text("" if speed is None else f"{speed:.1f} rows/s", style="progress.data.speed")


class _ConsoleLines:
    """Where the library's own lines go during a run: above the progress bar."""

    def __init__(self, console: Console) -> None:
        self.console = console
        self.encoding = "utf-8"

    def write(self, text: str) -> int:
        self.console.print(text.rstrip("\n"), markup=False, highlight=False, soft_wrap=True)
        return len(text)

    def flush(self) -> None:
        pass

    def fileno(self) -> int:
        return sys.stderr.fileno()


class _LockedOutput(LibraryOutput):
    """The chat's filter of library lines, for many threads at once."""

    def __init__(self, target: Any) -> None:
        super().__init__(target)
        self._lock = threading.Lock()

    def write(self, text: str) -> int:
        with self._lock:
            return super().write(text)

    def flush(self) -> None:
        with self._lock:
            super().flush()


class _Display:
    """The progress bar (on a terminal) and the counts behind it."""

    def __init__(self, err: Console) -> None:
        self.err = err
        self.failed = 0
        self.progress: Progress | None = None
        self.task: Any = None
        if err.is_terminal:
            self.progress = Progress(
                TextColumn("[bold]batch"),
                BarColumn(),
                MofNCompleteColumn(),
                TextColumn("[red]{task.fields[failed]} failed"),
                _RateColumn(),
                TimeRemainingColumn(),
                console=err,
                transient=False,
                redirect_stdout=False,
                redirect_stderr=False,
            )

    def start(self, plan: Plan) -> None:
        if plan.skipped:
            self.err.print(f"{plan.skipped} of {plan.rows} rows already have a line; running {plan.to_run}",
                           style="dim", highlight=False)
        if self.progress is not None:
            self.task = self.progress.add_task("batch", total=plan.to_run, failed=0)
            self.progress.start()

    def row(self, record: dict[str, Any]) -> None:
        if record.get("error") is not None:
            self.failed += 1
        if self.progress is not None and self.task is not None:
            self.progress.update(self.task, advance=1, failed=self.failed)

    def stop(self) -> None:
        if self.progress is not None:
            self.progress.stop()


def _summary_line(summary: Summary, output: str) -> str:
    rate = summary.done / summary.seconds if summary.seconds > 0 else 0.0
    text = (
        f"{summary.done} rows answered, {summary.failed} failed, {summary.skipped} skipped "
        f"in {summary.seconds:.1f} s ({rate:.1f} rows/s) -> {output}"
    )
    if summary.usage is not None and getattr(summary.usage, "total_tokens", None) is not None:
        text += f"; {summary.usage.total_tokens} tokens"
    return text


def cmd_batch(args: argparse.Namespace) -> int:
    batch = native("batch")
    err = Console(stderr=True, highlight=False)
    template = _template(args)
    display = _Display(err)
    library = _LockedOutput(_ConsoleLines(err))
    try:
        with _transport_settings(args), contextlib.redirect_stdout(library):
            try:
                summary = batch.runner.run_batch(
                    template,
                    args.input,
                    args.output,
                    workers=args.workers,
                    retry_failed=args.retry_failed,
                    requests_per_minute=args.rpm,
                    on_row=display.row,
                    on_start=display.start,
                )
            finally:
                display.stop()
                library.flush()
    except KeyboardInterrupt:
        err.print(
            f"{PROG}: interrupted; every line in {args.output} is whole; run the same command again to go on",
            highlight=False, soft_wrap=True,
        )
        return 130
    except FileNotFoundError as exc:
        raise CliError(f"file not found: {exc.filename}") from None
    except (batch.BatchInputError, ValueError, OSError) as exc:
        raise CliError(one_line(exc)) from None
    err.print(_summary_line(summary, args.output), highlight=False, soft_wrap=True, markup=False)
    if summary.failed:
        raise CliError(
            f"{summary.failed} rows failed; their lines hold the error (--retry-failed runs them again)"
        )
    return 0
