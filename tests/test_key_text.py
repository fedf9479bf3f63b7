"""An API key that no header can carry is refused without ever being quoted."""
import os
import subprocess
import sys
from pathlib import Path

import pytest

import quorvel
from quorvel.modal import LLModal
from quorvel.testing import ChatServer, Reply

SECRET = "sk-SECRET-0123456789"
PACKAGE_ROOT = str(Path(quorvel.__file__).resolve().parents[1])


@pytest.fixture(autouse=True)
def no_configuration(tmp_path, monkeypatch):
    for name in [n for n in os.environ if n.startswith("QUORVEL_")]:
        monkeypatch.delenv(name)
    monkeypatch.setenv("QUORVEL_CONFIG", str(tmp_path / "absent.ini"))


def assert_not_quoted(text):
    assert "SECRET" not in text and "0123456789" not in text, text


BAD_KEYS = [
    (SECRET + "\n", "a line ending (U+000A) at position 21 of 21"),
    (SECRET + "\r\n", "a line ending (U+000D) at position 21 of 22"),
    ("\r" + SECRET, "a line ending (U+000D) at position 1 of 21"),
    (SECRET[:3] + "\x00" + SECRET[3:], "a control character (U+0000) at position 4 of 21"),
    (SECRET + "\t", "a control character (U+0009)"),
    (SECRET + "\x1b", "a control character (U+001B)"),
    (SECRET + "\x7f", "a control character (U+007F)"),
    (SECRET + "\x85", "a line ending (U+0085)"),
    (SECRET + "\u2028", "a line ending (U+2028)"),
    (SECRET + "\u20ac", "a character that an HTTP header cannot carry (U+20AC)"),
]


def configure_key(monkeypatch, key):
    """A configuration that holds `key` (also what the environment cannot hold)."""
    from quorvel import modal

    class Settings:
        has_option = staticmethod(lambda section, option: True)
        get = staticmethod(lambda section, option: key)

    monkeypatch.setattr(modal, "Configurator", Settings)


@pytest.mark.parametrize("key, where", BAD_KEYS)
def test_headers_refuse_a_key_no_header_can_carry(monkeypatch, key, where):
    configure_key(monkeypatch, key)
    with pytest.raises(ValueError) as info:
        LLModal(section="work")._headers
    message = str(info.value)
    assert message.startswith("the API key of section 'work' contains " + where), message
    assert message.endswith("; remove it from the key where it is configured")
    assert_not_quoted(repr(info.value))


@pytest.mark.parametrize("key", ["sk-plain", "sk with blanks ", "caf\u00e9-\u00ff", ""])
def test_keys_a_header_carries_are_sent_unchanged(monkeypatch, key):
    monkeypatch.setenv("QUORVEL_LLM_API_KEY", key)
    assert LLModal()._headers["Authorization"] == "Bearer " + key


def test_a_key_formatted_from_another_object_is_checked_too(monkeypatch):
    class Key:
        def __format__(self, spec):
            return SECRET + "\n"

    configure_key(monkeypatch, Key())
    with pytest.raises(ValueError, match="a line ending"):
        LLModal()._headers


@pytest.mark.parametrize("stream", [False, True])
def test_call_fails_through_its_failure_path_without_quoting_the_key(monkeypatch, capsys, stream):
    monkeypatch.setenv("QUORVEL_LLM_API_KEY", SECRET + "\r\n")
    with ChatServer() as server:
        server.add(Reply.text("never sent"))
        model = LLModal(endpoint_url=server.url, extra_body={"stream": True} if stream else {})
        with pytest.raises(ValueError) as info:
            model.invoke("hi")
        assert server.requests == []
    printed = capsys.readouterr().out
    assert printed.startswith("LLM request error: the API key of section 'llm' contains a line ending")
    assert_not_quoted(printed + repr(info.value) + str(info.value))
    # The rest of the failure path is the usual one.
    assert [m.role for m in model.messages] == ["user", "assistant"]
    assert model.messages[-1].contents[-1] == model._default
    assert model.tool_calls == [] and model._tool_calls_count == 0


def test_command_line_never_prints_the_key(tmp_path):
    env = {k: v for k, v in os.environ.items() if not k.startswith("QUORVEL_")}
    env.update(
        PYTHONPATH=os.pathsep.join(filter(None, [PACKAGE_ROOT, os.environ.get("PYTHONPATH")])),
        QUORVEL_CONFIG=str(tmp_path / "absent.ini"),
        QUORVEL_LLM_API_KEY=SECRET + "\n",
    )
    with ChatServer() as server:
        server.add(Reply.text("never sent"))
        proc = subprocess.run(
            [sys.executable, "-m", "quorvel", "chat", "--endpoint", server.url, "-m", "hi"],
            env=env, capture_output=True, text=True, timeout=60, stdin=subprocess.DEVNULL,
        )
        assert server.requests == []
    assert proc.returncode == 1
    assert "contains a line ending" in proc.stderr
    assert_not_quoted(proc.stdout + proc.stderr)
