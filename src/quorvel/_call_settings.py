"""The settings of one call, read once.

A call reads six options of its model's section: the transport's
``timeout``, ``connect_timeout`` and ``max_retries``, the answer settings
``stream_usage`` and ``think_tags``, and ``api_key``.  Read one by one, that
is a look at the environment and the configuration file for each read, at
several places of every exchange.  Instead the call driver opens a reading
for the call (:func:`open`): one lookup of all six options in quorvel's own
configuration, which looks at the environment and the file once and parses
the file again only when it changed.  Until the driver closes it
(:func:`close`), every read of the call takes its values from that reading.
A call with more than one exchange (tool rounds) reads again for each further
exchange (:func:`open` again), so a key or timeout changed by a tool is used
by the next exchange as before.

Outside an open reading, or for a section other than the reading's, or with
a configuration object other than quorvel's own (or one whose lookups were
replaced), nothing is held: readers ask the configuration as they always did.

The permission warning is issued by the lookup, as ``get`` issues it, when
any of the six values came from a file open to others: the same values a
call reads one by one.  Values are kept per thread: a call belongs to the
thread that makes it.
"""

from __future__ import annotations

import threading
from typing import Any

from quorvel.config import Configurator

__all__ = ["OPTIONS", "Reading", "open", "close", "held", "own_lookup", "api_key"]

OPTIONS = ("timeout", "connect_timeout", "max_retries", "stream_usage", "think_tags", "api_key")
TRANSPORT = slice(0, 3)
STREAM_USAGE, THINK_TAGS, API_KEY = 3, 4, 5

_HAS_OPTION = Configurator.__dict__["has_option"]
_GET = Configurator.__dict__["get"]


class Reading:
    """The six values of one section as one lookup found them (``None``: not
    set), and what readers derived from them, kept with the values: the same
    values give the same reading, so a later call with an unchanged
    configuration finds its derived settings already made."""

    __slots__ = ("section", "values", "derived")

    def __init__(self, section: str, values: tuple[str | None, ...]) -> None:
        self.section = section
        self.values = values
        # Derived settings by name; only valid ones are kept, so an invalid
        # value raises at every read as it did when read afresh.
        self.derived: dict[str, Any] = {}


# Readings by section and values; emptied when full.
_readings: dict[tuple[str, tuple[str | None, ...]], Reading] = {}
_READINGS_LIMIT = 64


class _Held(threading.local):
    reading: Reading | None = None


_held = _Held()


def own_lookup(configurator: Any, section: Any) -> bool:
    """Whether ``configurator`` is quorvel's own configuration with its own
    lookups, asked about a section given as text."""
    if configurator is not Configurator or type(section) is not str:
        return False
    table = Configurator.__dict__
    return table.get("has_option") is _HAS_OPTION and table.get("get") is _GET


def open(configurator: Any, section: Any) -> Reading | None:  # noqa: A001  (the module's own verb)
    """Read the call's settings of ``section`` and hold them for this thread's
    reads until :func:`close`; returns what was held before, for
    :func:`close`.  A configuration that fails to read (a malformed file)
    leaves nothing held: each read then meets the failure where it always
    did."""
    held = _held
    before = held.reading
    reading = None
    if own_lookup(configurator, section):
        try:
            values = Configurator._options(section, OPTIONS)
        except Exception:  # noqa: BLE001  met again by the read that needs the value
            values = None
        if values is not None:
            key = (section, values)
            reading = _readings.get(key)
            if reading is None:
                if len(_readings) >= _READINGS_LIMIT:
                    _readings.clear()
                reading = _readings[key] = Reading(section, values)
    held.reading = reading
    return before


def close(before: Reading | None) -> None:
    """The call that opened the reading has ended: what was held before it
    is held again (the reading of an enclosing call on this thread)."""
    _held.reading = before


def held(configurator: Any, section: Any) -> Reading | None:
    """The open reading, when it answers for ``section`` of ``configurator``.

    Whether the configuration's lookups are its own was decided when the
    reading was opened: a reading is held only for them."""
    reading = _held.reading
    if reading is None or configurator is not Configurator or type(section) is not str:
        return None
    return reading if reading.section == section else None


def api_key(configurator: Any, section: Any) -> tuple[Any, ...]:
    """``(key,)`` when ``api_key`` of ``section`` is set, ``()`` otherwise.

    A configuration other than quorvel's own is asked ``has_option``, then
    ``get``, as the request always asked it."""
    reading = _held.reading
    if reading is not None and configurator is Configurator and type(section) is str and reading.section == section:
        key = reading.values[API_KEY]
        return () if key is None else (key,)
    if own_lookup(configurator, section):
        (key,) = Configurator._options(section, ("api_key",))
        return () if key is None else (key,)
    if configurator.has_option(section, "api_key"):
        return (configurator.get(section, "api_key"),)
    return ()
