"""Batch runs: thousands of conversations from a JSONL file, resumable.

::

    from quorvel.batch import run
    from quorvel.modal import LLModal

    template = LLModal(endpoint_url="http://localhost:8000/v1/chat/completions",
                       extra_body={"model": "Qwen/Qwen2.5-7B-Instruct"})
    summary = run(template, "requests.jsonl", "answers.jsonl", workers=16)
    print(summary.done, summary.failed, summary.skipped)

:func:`run` runs every request line on its own copy of a template model and
appends one output line per row; started again on the same files it runs only
the rows that have no line yet.  :class:`RowMapper` runs the rows of a Ray
Data (or Dask) batch the same way.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Iterable, Mapping
from typing import TYPE_CHECKING, Any

from quorvel.batch.mapper import RowMapper
from quorvel.batch.rows import BatchInputError
from quorvel.batch.runner import Summary, run_batch

if TYPE_CHECKING:
    from quorvel.modal import LLModal

__all__ = ["run", "Summary", "RowMapper", "BatchInputError"]


def run(
    template: LLModal,
    requests: str | os.PathLike[str] | Iterable[Mapping[str, Any]],
    output: str | os.PathLike[str],
    *,
    workers: int = 8,
    resume: bool = True,
    retry_failed: bool = False,
    requests_per_minute: float | None = None,
    on_row: Callable[[dict[str, Any]], Any] | None = None,
) -> Summary:
    """Run every request as its own conversation and write one line per row.

    ``requests``: the path of a JSONL file, or an iterable of mappings, each a
    common batch request line (``{"custom_id", "method": "POST", "url":
    "/v1/chat/completions", "body": {"messages": [...], ...}}``) or the short
    form ``{"custom_id", "prompt", "system"?, "extra_body"?}``.  Every line
    is checked before anything runs: a bad line raises
    :class:`BatchInputError` naming its line number, and so do repeated
    ``custom_id``s (naming all their lines).

    ``output``: a JSONL path, appended to a whole line at a time as each row
    ends, in the common batch output shape plus a ``"quorvel"`` object (the
    rendered history, the tool calls and results, the usage).

    Each row runs on its own copy of ``template`` (which is never changed),
    through ``invoke``: the tool loop, the transport settings (timeouts,
    retries) and the failure rules are the same.  A row that fails gets a line
    with its ``error``; the run goes on.

    ``resume``: rows whose ``custom_id`` already has a line in ``output`` are
    skipped; a torn last line left by a killed process is cut off first (its
    row runs again).  ``retry_failed``: rows whose line records an error run
    again (their old line is replaced).  ``requests_per_minute``: a budget
    shared by all ``workers`` (each row's first request and each tool round's
    follow-up take one turn; a 429 is retried by the transport's rules).
    ``on_row(line)`` is called with each line written, from the worker
    threads, one call at a time.

    Ctrl-C stops at once: rows in flight are not written and run on the next
    run.  Returns a :class:`Summary`.
    """
    return run_batch(
        template,
        requests,
        output,
        workers=workers,
        resume=resume,
        retry_failed=retry_failed,
        requests_per_minute=requests_per_minute,
        on_row=on_row,
    )
