"""The count of inputs that CI's fuzz runs report (tests/fuzz_count.py): a
pytest session of its own runs property-based tests that note every call
themselves, and the count file must agree with those notes, shrinking and
the replay of a failing input included."""

from __future__ import annotations

import os
import subprocess
import sys
from collections import Counter
from pathlib import Path


TESTS = Path(__file__).parent

CONFTEST = """
from fuzz_count import count_inputs, write_counts

def pytest_collection_modifyitems(items):
    count_inputs(items)

def pytest_sessionfinish():
    write_counts()
"""

PROPERTIES = """
import os
import pytest
from hypothesis import given, settings, strategies as st

def note(name):
    with open(os.environ["NOTES"], "a") as notes:
        notes.write(name + "\\n")

@settings(max_examples=7, database=None)
@given(st.integers())
def test_passing(x):
    note("test_properties.py::test_passing")

@pytest.mark.parametrize("case", [1, 2])
@settings(max_examples=5, database=None)
@given(x=st.integers())
def test_parametrized(case, x):
    note("test_properties.py::test_parametrized")

@settings(max_examples=200, database=None)
@given(st.integers())
def test_failing(x):
    note("test_properties.py::test_failing")
    assert x < 1000

def test_plain():
    note("test_properties.py::test_plain")
"""


def run_session(tmp_path: Path, count_file: Path | None) -> Counter[str]:
    """Runs the properties in a session of their own; returns the noted calls."""
    (tmp_path / "conftest.py").write_text(CONFTEST)
    (tmp_path / "test_properties.py").write_text(PROPERTIES)
    notes = tmp_path / "notes"
    env = {k: v for k, v in os.environ.items() if not k.startswith(("QUORVEL_", "PYTEST_"))}
    env.update(NOTES=str(notes), PYTHONPATH=os.pathsep.join([str(TESTS), env.get("PYTHONPATH", "")]))
    if count_file is not None:
        env["QUORVEL_FUZZ_COUNT_FILE"] = str(count_file)
    done = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "--rootdir", str(tmp_path), str(tmp_path)],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300,
    )
    assert done.returncode == 1, done.stdout + done.stderr  # test_failing fails
    assert "1 failed, 4 passed" in done.stdout, done.stdout
    return Counter(notes.read_text().split())


def test_count_file_holds_every_input_each_test_ran_on(tmp_path):
    count_file = tmp_path / "counts"
    noted = run_session(tmp_path, count_file)
    counts = {}
    for line in count_file.read_text().splitlines():
        count, test_id = line.split(" ", 1)
        counts[test_id.rsplit("/", 1)[-1]] = int(count)
    property_calls = {name: n for name, n in noted.items() if not name.endswith("test_plain")}
    assert counts == property_calls
    assert counts["test_properties.py::test_passing"] == 7
    assert counts["test_properties.py::test_parametrized"] == 10
    # The failing input is shrunk and replayed: more calls than it took to find.
    assert counts["test_properties.py::test_failing"] > 1
