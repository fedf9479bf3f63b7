"""The one switch the fast-path tests read: which fast paths this build runs.

A build made with ``-DQUORVEL_DISABLE_FAST_PATHS=all`` (CI's
step_fast_paths_off) runs the ordinary paths only; each module lists the
paths its build switched off in ``_FAST_PATHS_OFF``.  Tests that show a path
taken expect it bypassed there, and timing tests, which measure the fast
paths, are skipped (conftest.py)."""

from __future__ import annotations

from quorvel import cython as qc
from quorvel import message as qm
from quorvel import modal

MODULES = (qm, modal, qc)

# Some fast path of some module is switched off in this build.
FAST_PATHS_OFF = any(module._FAST_PATHS_OFF for module in MODULES)

# orjson runs only on the fast JSON paths: its refusals are counted there.
_COUNTED_ON = {"json_refused": ("json_line", "json_answer"), "native_json_refused": ("native_json",),
               "settings_read_afresh": ("native_settings",)}


def is_on(module, name: str) -> bool:
    """The build runs the fast path (or the counted event can happen)."""
    return all(path not in module._FAST_PATHS_OFF for path in _COUNTED_ON.get(name, (name,)))


def expected(module, counts: dict[str, int]) -> dict[str, int]:
    """The counts a test expects of taken fast paths (or counted events),
    with 0 for those this build switched off."""
    return {name: count if is_on(module, name) else 0 for name, count in counts.items()}
