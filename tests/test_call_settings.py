"""A call reads its settings once, and the next call sees whatever changed
in the configuration file or the environment since."""

import os
import warnings

import pytest

from config_support import LONG_AGO, ini_fixture
from quorvel import usage
from quorvel.config import Configurator
from quorvel.modal import LLModal
from quorvel.testing import ChatServer, Reply
from quorvel.tools import Tools



@pytest.fixture
def server():
    with ChatServer() as running:
        yield running


ini = ini_fixture(backdate_by_default=True)


@pytest.fixture
def lookups(monkeypatch):
    """Each lookup of the configuration, as (section, options)."""
    seen = []
    original = Configurator.__dict__["_lookup"].__func__

    def counting(cls, section, options):
        seen.append((section, options))
        return original(cls, section, options)

    monkeypatch.setattr(Configurator, "_lookup", classmethod(counting))
    return seen


def sent_key(server, index=-1):
    return server.requests[index].headers.get("Authorization")


def ask(server, text="ok", **fields):
    server.add(Reply.text(text, usage={"prompt_tokens": 3, "completion_tokens": 2, "total_tokens": 5}))
    model = LLModal(endpoint_url=server.url, **fields)
    return model, model.invoke("hi")


def test_a_whole_answer_call_looks_at_the_configuration_once(server, ini, lookups):
    ini("[llm]\napi_key = k1\ntimeout = 30\nstream_usage = off\nthink_tags = no\n")
    model, result = ask(server)
    assert result.content == "ok" and sent_key(server) == "Bearer k1"
    assert [section for section, _ in lookups] == ["llm"]
    # Nothing held after the call: a read outside it looks again.
    lookups.clear()
    assert model._headers["Authorization"] == "Bearer k1"
    assert len(lookups) == 1


def rewrite_same_size(path):
    path.write_text(path.read_text().replace("k1", "k2"))
    os.utime(path, (LONG_AGO + 60, LONG_AGO + 60))


def rewrite_longer(path):
    path.write_text(path.read_text().replace("k1", "k2-longer"))
    os.utime(path, (LONG_AGO, LONG_AGO))  # same time stamp: the size tells


def replace_by_rename(path):
    fresh = path.with_name("fresh.ini")
    fresh.write_text(path.read_text().replace("k1", "k2"))
    fresh.chmod(0o600)
    stamp = path.stat().st_mtime_ns
    os.utime(fresh, ns=(stamp, stamp))  # same size and time: only the inode differs
    os.replace(fresh, path)


def set_environment(path, monkeypatch):
    monkeypatch.setenv("QUORVEL_LLM_API_KEY", "k2")


def point_elsewhere(path, monkeypatch):
    other = path.with_name("other.ini")
    other.write_text("[llm]\napi_key = k2\n")
    other.chmod(0o600)
    monkeypatch.setenv("QUORVEL_CONFIG", str(other))


@pytest.mark.parametrize("change, expected", [
    (lambda path, mp: rewrite_same_size(path), "Bearer k2"),
    (lambda path, mp: rewrite_longer(path), "Bearer k2-longer"),
    (lambda path, mp: replace_by_rename(path), "Bearer k2"),
    (set_environment, "Bearer k2"),
    (point_elsewhere, "Bearer k2"),
    (lambda path, mp: path.unlink(), None),
], ids=["mtime", "size", "inode", "environment", "other-file", "removed"])
def test_the_next_call_sees_a_changed_configuration(server, ini, monkeypatch, change, expected):
    path = ini("[llm]\napi_key = k1\n")
    model, _ = ask(server)
    assert sent_key(server) == "Bearer k1"
    change(path, monkeypatch)
    server.add(Reply.text("again"))
    assert model.invoke("hi").content == "again"
    assert sent_key(server) == expected


def test_the_next_call_reads_the_models_current_section(server, ini):
    ini("[llm]\napi_key = k1\n[other]\napi_key = k2\ntimeout = -1\n")
    model, _ = ask(server)
    model.section = "other"
    with pytest.raises(ValueError, match=r"'timeout' in section \[other\]"):
        model.invoke("hi")
    assert len(server.requests) == 1  # refused before anything was sent


def test_a_tool_round_reads_again(server, ini):
    path = ini("[llm]\napi_key = k1\n")
    tools = Tools()

    @tools.register
    def rotate() -> str:
        """Rotates the key."""
        path.write_text("[llm]\napi_key = k2\n")
        os.utime(path, (LONG_AGO + 60, LONG_AGO + 60))
        return "rotated"

    server.add(Reply.tool_calls([("c1", "rotate", {})]), Reply.text("done"))
    model = LLModal(endpoint_url=server.url, tools=tools)
    assert model.invoke("go").content == "done"
    assert [request.headers.get("Authorization") for request in server.requests] == ["Bearer k1", "Bearer k2"]


def test_a_call_made_by_a_tool_reads_its_own_section(server, ini):
    ini("[llm]\napi_key = outer\n[inner]\napi_key = inner\n")
    tools = Tools()
    inner = LLModal(endpoint_url=server.url, section="inner")

    @tools.register
    def delegate() -> str:
        """Asks another model."""
        return inner.invoke("sub").content

    server.add(Reply.tool_calls([("c1", "delegate", {})]), Reply.text("from inner"), Reply.text("done"))
    model = LLModal(endpoint_url=server.url, tools=tools)
    assert model.invoke("go").content == "done"
    assert [request.headers.get("Authorization") for request in server.requests] == [
        "Bearer outer", "Bearer inner", "Bearer outer"]


def test_a_stream_after_the_call_reads_afresh(server, ini, lookups):
    ini("[llm]\napi_key = k1\nthink_tags = on\n")
    server.add(Reply.stream(["<think>plan</think>", "answer"]))
    model = LLModal(endpoint_url=server.url, extra_body={"stream": True})
    records = list(model.invoke("hi"))
    assert "".join(r.content for r in records) == "answer"
    assert "".join(r.reasoning_content for r in records) == "plan"
    assert sent_key(server) == "Bearer k1"


def test_an_open_file_warns_once_across_calls_without_the_key(server, ini):
    ini("[llm]\napi_key = sk-secret-value\n", mode=0o644)
    Configurator._warned.clear()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        ask(server)
        ask(server)
    messages = [str(w.message) for w in caught if issubclass(w.category, UserWarning)]
    assert len(messages) == 1 and "too open" in messages[0]
    assert "sk-secret-value" not in messages[0]


def test_a_malformed_file_fails_the_exchange_as_before(server, ini, capsys):
    ini("[llm]\napi_key = k1\n")
    model, _ = ask(server)
    ini("[llm\napi_key = k1\n", backdate=False)
    with pytest.raises(ValueError, match="cannot parse quorvel config file"):
        model.invoke("hi")
    assert len(server.requests) == 1


@pytest.mark.parametrize("reports, last, total", [
    ([{"prompt_tokens": 3, "completion_tokens": 2, "total_tokens": 5}] * 2,
     (3, 2, 5, None, None, 1, 1), (6, 4, 10, None, None, 2, 2)),
    ([{"prompt_tokens": 3, "completion_tokens_details": {"reasoning_tokens": 0}}, None],
     (None, None, None, None, None, 1, 1), (3, None, None, None, 0, 2, 2)),
    ([None, {"prompt_tokens": 1, "completion_tokens": 1, "total_tokens": 2,
             "prompt_tokens_details": {"cached_tokens": 1}}],
     (1, 1, 2, 1, None, 1, 1), (1, 1, 2, 1, None, 2, 2)),
], ids=["plain", "details-then-none", "none-then-details"])
def test_usage_figures_over_calls(server, ini, reports, last, total):
    ini("[llm]\n")
    model = LLModal(endpoint_url=server.url)
    for report in reports:
        server.add(Reply.text("ok", usage=report) if report is not None else Reply.text("ok"))
        model.invoke("hi")

    def figures(u):
        return (u.input_tokens, u.output_tokens, u.total_tokens, u.cached_input_tokens, u.reasoning_tokens,
                u.requests, u.exchanges)

    assert figures(usage.last_usage(model)) == last
    assert figures(usage.usage(model)) == total
