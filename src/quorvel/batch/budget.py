"""A requests-per-minute budget shared by every worker of a run.

Requests are spaced evenly (one every ``60 / rate`` seconds) rather than sent
in bursts at the top of each minute: servers that count a sliding window
accept an even pace, and a burst of ``rate`` requests would hit their limit
at once.  A rejected request (429) is not the budget's business: the
transport retries it after the wait the server asks for.
"""

from __future__ import annotations

import math
import threading
import time
from typing import Any

__all__ = ["Budget"]


class Budget:
    def __init__(self, requests_per_minute: float | None, stopped: threading.Event) -> None:
        self.interval = 0.0
        if requests_per_minute is not None:
            if isinstance(requests_per_minute, bool) or not isinstance(requests_per_minute, (int, float)):
                raise TypeError(f"requests_per_minute must be a number, got {type(requests_per_minute).__name__}")
            if not math.isfinite(requests_per_minute) or requests_per_minute <= 0:
                raise ValueError(f"requests_per_minute must be a positive number, got {requests_per_minute!r}")
            self.interval = 60.0 / requests_per_minute
        self._stopped = stopped
        self._lock = threading.Lock()
        self._next = 0.0

    def take(self) -> bool:
        """Wait for this request's turn; ``False`` when the run stopped meanwhile."""
        if not self.interval:
            return not self._stopped.is_set()
        with self._lock:
            now = time.monotonic()
            turn = max(now, self._next)
            self._next = turn + self.interval
        wait = turn - now
        if wait > 0:
            return not self._stopped.wait(wait)
        return not self._stopped.is_set()


class BudgetedTools:
    """A model's tool registry that takes the budget after each round of tool
    calls: the follow-up request of the round goes out right after."""

    def __init__(self, tools: Any, budget: Budget) -> None:
        self._tools = tools
        self._budget = budget

    def __bool__(self) -> bool:
        return bool(self._tools)

    def __len__(self) -> int:
        return len(self._tools)

    @property
    def schemas(self) -> Any:
        return self._tools.schemas

    @property
    def names(self) -> Any:
        return self._tools.names

    def __call__(self, tool_calls: Any) -> Any:
        results = self._tools(tool_calls)
        if not self._budget.take():
            raise InterruptedError("the batch run was stopped")
        return results
