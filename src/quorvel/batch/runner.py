"""``run``: many conversations over a pool of threads, written as they end.

The main thread reads the rows and hands them to the workers through a short
queue (the input is never held in memory whole when it is a file); each
worker runs a row on its own copy of the template and appends the row's line.
Workers are daemon threads: a run that is interrupted does not wait for the
rows in flight, whose lines are then refused by the closed output and who run
again on the next run.
"""

from __future__ import annotations

import os
import queue
import threading
import time
from collections.abc import Callable, Iterable, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from quorvel.batch import output as outfile
from quorvel.batch.budget import Budget, BudgetedTools
from quorvel.batch.conversation import Answer, ask, conversation, failed_usage, stop, usage_available
from quorvel.batch.records import answered, encode, failed
from quorvel.batch.rows import RequestSource, Row

if TYPE_CHECKING:
    from quorvel.modal import LLModal

__all__ = ["run_batch", "Summary", "Plan"]


@dataclass(frozen=True)
class Summary:
    """The outcome of :func:`run`.

    ``done``: rows answered in this run; ``failed``: rows whose line records
    an error; ``skipped``: rows that already had a line (resume); ``seconds``:
    the wall time of the run; ``usage``: the usage summed over the rows run
    (a ``quorvel.usage.Usage``), or None where usage figures are not
    available.
    """

    done: int
    skipped: int
    failed: int
    seconds: float
    usage: Any = None


@dataclass(frozen=True)
class Plan:
    """What a run is about to do, told to its ``on_start`` hook."""

    rows: int
    to_run: int
    skipped: int


class _Counts:
    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.done = 0
        self.failed = 0
        self.usage: Any = None

    def add(self, ok: bool, usage: Any) -> None:
        with self.lock:
            if ok:
                self.done += 1
            else:
                self.failed += 1
            if usage is not None:
                self.usage = usage if self.usage is None else self.usage + usage


_END = object()


class _Run:
    def __init__(
        self,
        template: LLModal,
        appender: outfile.Appender,
        budget: Budget,
        stopped: threading.Event,
        on_row: Callable[[dict[str, Any]], Any] | None,
    ) -> None:
        self.template = template
        self.appender = appender
        self.budget = budget
        self.stopped = stopped
        self.on_row = on_row
        self.on_row_lock = threading.Lock()
        self.counts = _Counts()
        self.fatal: BaseException | None = None
        self.running: dict[int, LLModal] = {}
        self.running_lock = threading.Lock()

    def _one(self, row: Row) -> dict[str, Any] | None:
        if not self.budget.take():
            return None
        model: LLModal | None = None
        me = threading.get_ident()
        usage: Any = None
        try:
            model = conversation(self.template, row)
            if self.budget.interval and model.tools:
                model.tools = BudgetedTools(model.tools, self.budget)  # type: ignore[assignment]
            with self.running_lock:
                self.running[me] = model
            if self.stopped.is_set():
                return None
            answer: Answer = ask(model, row.prompt)
            record = answered(row.custom_id, model, answer)
            usage = answer.usage
        except Exception as exc:
            if self.stopped.is_set():
                return None
            if model is not None:
                usage = failed_usage(model)
            record = failed(row.custom_id, model, exc, usage)
        finally:
            with self.running_lock:
                self.running.pop(me, None)
        if not self.appender.write(encode(record)):
            return None  # the run stopped: this row runs again next time
        self.counts.add(record["error"] is None, usage)
        return record

    def worker(self, rows: queue.Queue[Any]) -> None:
        try:
            while True:
                try:
                    row = rows.get(timeout=0.1)
                except queue.Empty:
                    if self.stopped.is_set():  # another worker failed for good
                        return
                    continue
                if row is _END or self.stopped.is_set():
                    return
                record = self._one(row)
                if record is not None and self.on_row is not None:
                    with self.on_row_lock:
                        self.on_row(record)
        except BaseException as exc:  # a broken output file, a failing on_row
            if self.fatal is None:
                self.fatal = exc
            self.stopped.set()

    def stop_running(self) -> None:
        with self.running_lock:
            models = list(self.running.values())
        for model in models:
            stop(model)


def _put(rows: queue.Queue[Any], item: Any, stopped: threading.Event) -> bool:
    # Waiting in short steps keeps the main thread responsive to Ctrl-C.
    while not stopped.is_set():
        try:
            rows.put(item, timeout=0.1)
            return True
        except queue.Full:
            continue
    return False


def _check_workers(workers: Any) -> int:
    if isinstance(workers, bool) or not isinstance(workers, int):
        raise TypeError(f"workers must be an int, got {type(workers).__name__}")
    if workers < 1:
        raise ValueError(f"workers must be 1 or more, got {workers}")
    return workers


def _same_file(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def run_batch(
    template: LLModal,
    requests: str | os.PathLike[str] | Iterable[Mapping[str, Any]],
    output: str | os.PathLike[str],
    *,
    workers: int = 8,
    resume: bool = True,
    retry_failed: bool = False,
    requests_per_minute: float | None = None,
    on_row: Callable[[dict[str, Any]], Any] | None = None,
    on_start: Callable[[Plan], Any] | None = None,
) -> Summary:
    """:func:`quorvel.batch.run`, with one more hook: ``on_start`` is told the
    plan (rows, rows to run, rows skipped) once the input and the output have
    been read, before the first row starts."""
    started = time.perf_counter()
    if not (hasattr(template, "invoke") and hasattr(template, "model_copy")):
        raise TypeError(f"template must be an LLModal, got {type(template).__name__}")
    workers = _check_workers(workers)
    stopped = threading.Event()
    budget = Budget(requests_per_minute, stopped)
    path = os.fspath(output)
    source = RequestSource(requests)
    if source.path is not None and _same_file(source.path, path):
        raise ValueError(f"the output {path} is the requests file itself")

    ids = source.check()
    outfile.repair(path)
    existing = outfile.scan(path) if resume else outfile.Existing()
    if resume and retry_failed:
        again = existing.failed & ids.keys()
        if again:
            outfile.drop_failed(path, again)
            existing.failed -= again
    have_line = existing.answered | existing.failed
    skipped = sum(1 for custom_id in ids if custom_id in have_line)
    if on_start is not None:
        on_start(Plan(rows=len(ids), to_run=len(ids) - skipped, skipped=skipped))

    appender = outfile.Appender(path)
    state = _Run(template, appender, budget, stopped, on_row)
    rows: queue.Queue[Any] = queue.Queue(maxsize=2 * workers)
    threads = [
        threading.Thread(target=state.worker, args=(rows,), name=f"quorvel-batch-{i}", daemon=True)
        for i in range(min(workers, max(1, len(ids) - skipped)))
    ]
    for thread in threads:
        thread.start()
    try:
        for _, row in source.rows():
            if row.custom_id in have_line:
                continue
            if not _put(rows, row, stopped):
                break
        for _ in threads:
            if not _put(rows, _END, stopped):
                break
        for thread in threads:
            while thread.is_alive():
                thread.join(0.1)
    except BaseException:
        # Ctrl-C (or any error of the reading thread): nothing more starts,
        # no more lines are written, and the rows in flight are told to end.
        stopped.set()
        appender.close()
        state.stop_running()
        raise
    finally:
        appender.close()
    if state.fatal is not None:
        raise state.fatal
    counts = state.counts
    return Summary(
        done=counts.done,
        skipped=skipped,
        failed=counts.failed,
        seconds=time.perf_counter() - started,
        usage=counts.usage if usage_available() else None,
    )
