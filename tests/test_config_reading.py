"""The configuration is parsed once per version of the file, and every lookup
still sees the current file and environment."""

import configparser
import os

import pytest

import quorvel._transport as transport
from config_support import LONG_AGO, ini_fixture
from quorvel.config import Configurator



ini = ini_fixture()


@pytest.fixture
def parses(monkeypatch):
    """How many times a config file was parsed."""
    count = [0]
    original = configparser.ConfigParser.read_file

    def counting(self, *args, **kwargs):
        count[0] += 1
        return original(self, *args, **kwargs)

    monkeypatch.setattr(configparser.ConfigParser, "read_file", counting)
    return count


def test_an_unchanged_file_is_parsed_once(ini, parses):
    ini("[llm]\ntimeout = 5\napi_key = k\n", backdate=True)
    for _ in range(5):
        assert Configurator.get("llm", "api_key") == "k"
        assert Configurator.has_option("llm", "timeout")
        assert transport.read_settings(Configurator, "llm").timeout == 5.0
    assert parses[0] == 1


@pytest.mark.parametrize("backdate", [False, True])
def test_a_rewrite_of_the_same_size_is_seen_at_once(ini, backdate):
    path = ini("[llm]\ntimeout = 1\n", backdate=backdate)
    assert transport.read_settings(Configurator, "llm").timeout == 1.0
    path.write_text("[llm]\ntimeout = 2\n")
    if backdate:
        # Same size, same modification time: only the change time tells.
        os.utime(path, (LONG_AGO, LONG_AGO))
    assert Configurator.get("llm", "timeout") == "2"
    assert transport.read_settings(Configurator, "llm").timeout == 2.0


def test_a_recent_file_read_again_is_parsed_only_when_its_text_changed(ini, parses):
    path = ini("[llm]\nmax_retries = 1\n")
    for _ in range(3):
        assert Configurator.get("llm", "max_retries") == "1"
    assert parses[0] == 1
    path.write_text("[llm]\nmax_retries = 3\n")
    assert Configurator.get("llm", "max_retries") == "3"
    assert parses[0] == 2


def test_a_file_that_comes_and_goes(ini, tmp_path):
    assert not Configurator.has_option("llm", "timeout")
    assert transport.read_settings(Configurator, "llm").timeout == transport.DEFAULT_TIMEOUT
    path = ini("[llm]\ntimeout = 7\n", backdate=True)
    assert Configurator.get("llm", "timeout") == "7"
    assert transport.read_settings(Configurator, "llm").timeout == 7.0
    path.unlink()
    assert not Configurator.has_option("llm", "timeout")
    with pytest.raises(KeyError):
        Configurator.get("llm", "timeout")
    assert transport.read_settings(Configurator, "llm").timeout == transport.DEFAULT_TIMEOUT


def test_environment_changes_are_seen_at_once(ini, monkeypatch, tmp_path):
    ini("[llm]\nconnect_timeout = 3\n", backdate=True)
    other = tmp_path / "other.ini"
    other.write_text("[llm]\nconnect_timeout = 4\n")
    other.chmod(0o600)
    assert transport.read_settings(Configurator, "llm").connect_timeout == 3.0
    monkeypatch.setenv("QUORVEL_LLM_CONNECT_TIMEOUT", "9")
    assert transport.read_settings(Configurator, "llm").connect_timeout == 9.0
    monkeypatch.delenv("QUORVEL_LLM_CONNECT_TIMEOUT")
    assert transport.read_settings(Configurator, "llm").connect_timeout == 3.0
    monkeypatch.setenv("QUORVEL_CONFIG", str(other))
    assert transport.read_settings(Configurator, "llm").connect_timeout == 4.0
    assert Configurator.get("llm", "connect_timeout") == "4"


def test_a_file_that_turns_malformed_fails_every_lookup(ini):
    path = ini("[llm]\ntimeout = 5\n", backdate=True)
    assert Configurator.get("llm", "timeout") == "5"
    path.write_text("timeout = 5\n")
    for _ in range(2):
        with pytest.raises(ValueError, match="malformed line 1"):
            Configurator.has_option("llm", "timeout")
    with pytest.raises(ValueError, match="malformed line 1"):
        transport.read_settings(Configurator, "llm")


def test_a_replaced_lookup_is_asked_option_by_option(ini, monkeypatch):
    ini("[llm]\ntimeout = 5\n", backdate=True)
    asked = []
    original = Configurator.__dict__["has_option"]

    def has_option(cls, section, option):
        asked.append(option)
        return original.__func__(cls, section, option)

    monkeypatch.setattr(Configurator, "has_option", classmethod(has_option))
    assert transport.read_settings(Configurator, "llm").timeout == 5.0
    assert asked == ["timeout", "connect_timeout", "max_retries"]
