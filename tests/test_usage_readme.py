"""The README's Usage example runs as written and prints what its comments say."""

from __future__ import annotations

import os
import re
import subprocess
import sys
from pathlib import Path

import quorvel

README = Path(__file__).resolve().parents[1] / "README.md"
PACKAGE_ROOT = str(Path(quorvel.__file__).resolve().parents[1])


def usage_example() -> str:
    section = README.read_text(encoding="utf-8").split("\n## Usage\n", 1)[1].split("\n## ", 1)[0]
    return re.search(r"```python\n(.*?)```", section, re.S).group(1)


def test_the_usage_example_prints_what_it_says(tmp_path):
    code = usage_example()
    promised = [line.split("#", 1)[1].strip() for line in code.splitlines()
                if line.lstrip().startswith("print(") and "#" in line]
    env = {k: v for k, v in os.environ.items() if not k.startswith("QUORVEL_")}
    env["QUORVEL_CONFIG"] = str(tmp_path / "absent.ini")
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [PACKAGE_ROOT, os.environ.get("PYTHONPATH")]))
    proc = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == promised
