"""Counts the inputs that the property-based tests run on, for CI's fuzz runs.

With QUORVEL_FUZZ_COUNT_FILE set, the body of every hypothesis test in the
session is wrapped so that each call of it (an input generated, shrunk or
replayed) is counted; when the session ends the file gets one line per test,
the count and the test's id.  hypothesis's own statistics are not read: their
wording changes between releases, and a run that printed none would count
nothing.
"""

from __future__ import annotations

import functools
import os
from collections import Counter
from pathlib import Path
from typing import Any, Iterable

COUNT_FILE_VARIABLE = "QUORVEL_FUZZ_COUNT_FILE"

_counts: Counter[str] = Counter()


def _test_id(item: Any) -> str:
    # Parametrized cases share one function, and so one count.
    return item.nodeid.split("[", 1)[0]


def count_inputs(items: Iterable[Any]) -> None:
    """Wraps the body of each hypothesis test among `items` (pytest items)
    in a counter, when the count file is asked for."""
    if not os.environ.get(COUNT_FILE_VARIABLE):
        return
    for item in items:
        # hypothesis keeps the body it calls for each input as the
        # reassignable `hypothesis.inner_test` of the decorated test.
        handle = getattr(getattr(item, "obj", None), "hypothesis", None)
        inner = getattr(handle, "inner_test", None)
        if inner is None or getattr(inner, "counted_as", None) is not None:
            continue
        test_id = _test_id(item)
        _counts[test_id] += 0
        handle.inner_test = _counting(inner, test_id)


def _counting(inner: Any, test_id: str) -> Any:
    @functools.wraps(inner)
    def counted(*args: Any, **kwargs: Any) -> Any:
        _counts[test_id] += 1
        return inner(*args, **kwargs)

    counted.counted_as = test_id  # type: ignore[attr-defined]
    return counted


def write_counts() -> None:
    """Writes the counts to the count file, when one is asked for."""
    path = os.environ.get(COUNT_FILE_VARIABLE)
    if path:
        Path(path).write_text("".join(f"{count} {test_id}\n" for test_id, count in sorted(_counts.items())))
