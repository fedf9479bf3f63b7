"""Modules given to --tools or mcp serve load under private names and shadow nothing."""

from __future__ import annotations

import importlib
import json
import sys

import pytest

from quorvel.cli import CliError, load_module, public_functions
from quorvel.testing import Reply

from test_cli import cli_env, run_cli, server, write_module  # noqa: F401  (fixtures)

SHADOW = """
    import sys

    def echo(text: str) -> dict:
        \"\"\"Echo the text back.\"\"\"
        return {"echo": text, "me": __name__}
"""


@pytest.mark.parametrize("name", ["json", "requests"])
def test_a_file_named_like_a_real_module_does_not_replace_it(tmp_path, name):
    real = sys.modules[name]
    path = write_module(tmp_path, name, SHADOW)
    module = load_module(str(path))
    assert sys.modules[name] is real
    assert module.__name__ != name and module.__name__.endswith(f".{name}")
    assert sys.modules[module.__name__] is module
    assert [fn_name for fn_name, _ in public_functions(module)] == ["echo"]
    assert module.echo("x") == {"echo": "x", "me": module.__name__}


def test_a_name_found_in_the_current_directory_is_loaded_privately(tmp_path, monkeypatch):
    write_module(tmp_path, "json", SHADOW)
    monkeypatch.chdir(tmp_path)
    module = load_module("json")
    assert module is not json and hasattr(module, "echo")
    assert sys.modules["json"] is json


def test_the_directory_of_a_loaded_file_never_comes_first(tmp_path, monkeypatch):
    # A sibling named like a standard module must not win a later import.
    write_module(tmp_path, "colorsys", "SHADOWED = True\n")
    path = write_module(tmp_path, "tool", "import helper_qv\n\ndef use() -> int:\n    return helper_qv.VALUE\n")
    write_module(tmp_path, "helper_qv", "VALUE = 7\n")
    monkeypatch.setattr(sys, "path", list(sys.path))
    monkeypatch.delitem(sys.modules, "colorsys", raising=False)
    monkeypatch.delitem(sys.modules, "helper_qv", raising=False)
    assert load_module(str(path)).use() == 7  # siblings still import
    assert not hasattr(importlib.import_module("colorsys"), "SHADOWED")


def test_two_files_with_one_name_stay_apart(tmp_path):
    (tmp_path / "a").mkdir()
    (tmp_path / "b").mkdir()
    first = write_module(tmp_path / "a", "tools", "X = 1\n")
    second = write_module(tmp_path / "b", "tools", "X = 2\n")
    one, two = load_module(str(first)), load_module(str(second))
    assert (one.X, two.X) == (1, 2) and one.__name__ != two.__name__


def test_a_failed_load_leaves_nothing_registered(tmp_path):
    path = write_module(tmp_path, "json", "raise RuntimeError('broken')\n")
    before = set(sys.modules)
    with pytest.raises(CliError, match="RuntimeError: broken"):
        load_module(str(path))
    assert sys.modules["json"] is json
    assert not {name for name in set(sys.modules) - before if name.endswith(".json")}


@pytest.mark.parametrize("name", ["json", "requests"])
def test_chat_runs_a_tool_module_named_like_a_dependency(cli_env, server, tmp_path, name):
    path = write_module(tmp_path, name, SHADOW)
    server.add(Reply.tool_calls([("c1", "echo", {"text": "hi"})], stream=True), Reply.stream("done"))
    proc = run_cli(cli_env, "chat", "--endpoint", server.url, "--tools", str(path), "-m", "go")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "done\n"
    assert '"echo": "hi"' in proc.stderr and "reinstall" not in proc.stderr
