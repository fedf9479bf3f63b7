"""The call's reading of its settings, checked natively: a call whose
configuration did not change takes the reading at hand, and any change the
lookup would see (a variable set or removed, the file written, replaced,
removed or newly there, another file named) makes the call read afresh and
send what the configuration now says."""

from __future__ import annotations

import contextlib
import itertools
import os
import warnings

import pytest

from config_support import LONG_AGO, ini_fixture
from fast_path_support import is_on
from quorvel import _call_settings, config, modal
from quorvel.config import Configurator
from quorvel.modal import LLModal
from quorvel.testing import ChatServer, Reply
from test_fast_paths import assert_taken, decisions

ini = ini_fixture(backdate_by_default=True)


@pytest.fixture
def server():
    with ChatServer() as running:
        yield running


def read_afresh():
    return modal._counters()["settings_read_afresh"]


def call(server, model):
    """One call; how often it read its settings afresh."""
    server.add(Reply.text("ok"))
    before = read_afresh()
    assert model.invoke("hi").content == "ok"
    return read_afresh() - before


def sent_key(server):
    return server.requests[-1].headers.get("Authorization")


_stamps = itertools.count(60)


def write_key(path, key):
    # Each version with its own time stamp, long ago: its stat alone tells it.
    path.write_text(f"[llm]\napi_key = {key}\n")
    path.chmod(0o600)
    stamp = LONG_AGO + next(_stamps)
    os.utime(path, (stamp, stamp))


@pytest.fixture(autouse=True)
def trusted_at_once(monkeypatch):
    """A file is trusted by its stat as soon as it is written: its change
    time (which cannot be set back) is always recent in these tests, and
    until it is older than the racy window every lookup reads the file."""
    monkeypatch.setattr(config, "_RACY_NS", -(10**12))


def other_file(path, monkeypatch):
    other = path.with_name("other.ini")
    write_key(other, "k2")
    monkeypatch.setenv("QUORVEL_CONFIG", str(other))


# (what the file says first or None for no file, the change, the key sent after it)
CHANGES = {
    "unchanged": ("k1", lambda path, mp: None, "Bearer k1"),
    "rewritten": ("k1", lambda path, mp: write_key(path, "k2"), "Bearer k2"),
    "removed": ("k1", lambda path, mp: path.unlink(), None),
    "appeared": (None, lambda path, mp: write_key(path, "k2"), "Bearer k2"),
    "still-absent": (None, lambda path, mp: None, None),
    "variable-set": ("k1", lambda path, mp: mp.setenv("QUORVEL_LLM_API_KEY", "k3"), "Bearer k3"),
    "other-file": ("k1", other_file, "Bearer k2"),
    "home-moved": (None, lambda path, mp: mp.setenv("HOME", str(path.parent)), None),
}


@pytest.mark.parametrize("name", list(CHANGES))
def test_the_reading_at_hand_is_taken_only_while_the_configuration_is_unchanged(server, ini, monkeypatch, name):
    first, change, expected = CHANGES[name]
    path = ini("[llm]\n")
    if first is None:
        path.unlink()
    else:
        write_key(path, first)
    model = LLModal(endpoint_url=server.url)
    call(server, model)
    call(server, model)  # the reading of this configuration is made by now
    change(path, monkeypatch)
    with decisions(modal, "native_settings") as seen:
        afresh = call(server, model)
    assert sent_key(server) == expected
    assert_taken(seen)
    if is_on(modal, "native_settings"):
        assert afresh == (0 if name in ("unchanged", "still-absent") else 1)
        # and the next call finds the new reading at hand
        assert call(server, model) == 0 and sent_key(server) == expected


def test_a_variable_removed_again_is_seen(server, ini, monkeypatch):
    write_key(ini("[llm]\n"), "k1")
    model = LLModal(endpoint_url=server.url)
    monkeypatch.setenv("QUORVEL_LLM_API_KEY", "from-env")
    call(server, model)
    assert sent_key(server) == "Bearer from-env"
    monkeypatch.delenv("QUORVEL_LLM_API_KEY")
    call(server, model)
    assert sent_key(server) == "Bearer k1"


def test_a_file_open_to_others_still_warns_once_when_the_reading_is_at_hand(server, ini):
    ini("[llm]\napi_key = sk-secret-value\n", mode=0o644)
    Configurator._warned.clear()
    model = LLModal(endpoint_url=server.url)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        for _ in range(3):
            call(server, model)
    messages = [str(w.message) for w in caught if issubclass(w.category, UserWarning)]
    assert len(messages) == 1 and "too open" in messages[0] and "sk-secret-value" not in messages[0]
    Configurator._warned.clear()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        call(server, model)  # a reading at hand warns as the lookup does
    assert [w for w in caught if issubclass(w.category, UserWarning)]


@contextlib.contextmanager
def replaced(owner, name, value):
    original = owner.__dict__[name]
    setattr(owner, name, value)
    try:
        yield
    finally:
        setattr(owner, name, original)


def test_a_replaced_open_is_called(server, ini, monkeypatch):
    write_key(ini("[llm]\n"), "k1")
    model = LLModal(endpoint_url=server.url)
    opened = []
    original = _call_settings.open

    def watching(configurator, section):
        opened.append(section)
        return original(configurator, section)

    monkeypatch.setattr(_call_settings, "open", watching)
    with decisions(modal, "native_settings") as seen:
        call(server, model)
    assert opened == ["llm"] and sent_key(server) == "Bearer k1"
    if is_on(modal, "native_settings"):
        assert seen["bypassed"] >= 1  # the open; what reads the held reading stays native


def test_a_replaced_lookup_is_asked(server, ini):
    write_key(ini("[llm]\n"), "k1")
    model = LLModal(endpoint_url=server.url)
    call(server, model)
    asked = []
    original = Configurator.__dict__["_lookup"].__func__

    def counting(cls, section, options):
        asked.append(section)
        return original(cls, section, options)

    with replaced(Configurator, "_lookup", classmethod(counting)):
        with decisions(modal, "native_settings") as seen:
            call(server, model)
    assert asked and sent_key(server) == "Bearer k1"
    if is_on(modal, "native_settings"):
        assert seen["bypassed"] >= 1  # the open; what reads the held reading stays native


@pytest.mark.parametrize("owner, name", [("_transport", "check_settings"), ("_call_settings", "api_key")])
def test_a_replaced_reader_of_the_held_reading_is_called(server, ini, monkeypatch, owner, name):
    import importlib

    module = importlib.import_module(f"quorvel.{owner}")
    write_key(ini("[llm]\n"), "k1")
    model = LLModal(endpoint_url=server.url)
    call(server, model)
    asked = []
    original = getattr(module, name)

    def watching(configurator, section):
        asked.append(section)
        return original(configurator, section)

    monkeypatch.setattr(module, name, watching)
    call(server, model)
    assert asked == ["llm"] and sent_key(server) == "Bearer k1"
