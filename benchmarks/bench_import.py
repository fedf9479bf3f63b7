"""Import time: `import quorvel.modal` against importing its dependencies alone.

Each contender is imported in a fresh interpreter that times its own import
statement on its CPU clock (interpreter start-up is the same for both and not counted); the
two are run in turn, round after round, so that both see the same machine
state and the same warm file cache, and the best time of each is kept.

The baseline is what a plain-Python client of this kind cannot do without:
`import requests` and pydantic's `BaseModel` (`import pydantic` alone defers
loading the model machinery until a name is first read).

    PYTHONPATH=src python benchmarks/bench_import.py [--rounds R]
"""
import argparse
import os
import subprocess
import sys

CONTENDERS = {
    "quorvel": "import quorvel.modal",
    "baseline": "import requests\nfrom pydantic import BaseModel",
}

TIMER = """\
import time
start = time.process_time()
{statement}
print(time.process_time() - start)
"""


def child_env():
    """The environment of the timed interpreters: this one's, with the
    directory that holds the quorvel package in use first on the path."""
    import quorvel

    home = os.path.dirname(os.path.dirname(os.path.abspath(quorvel.__file__)))
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (home, env.get("PYTHONPATH")) if p)
    return env


def time_import(statement, env):
    done = subprocess.run(
        [sys.executable, "-c", TIMER.format(statement=statement)],
        capture_output=True, text=True, env=env, check=True,
    )
    return float(done.stdout.split()[-1])


def main(rounds):
    env = child_env()
    best = {name: float("inf") for name in CONTENDERS}
    for _ in range(rounds):
        for name, statement in CONTENDERS.items():
            best[name] = min(best[name], time_import(statement, env))
    return best["quorvel"] / best["baseline"]


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=7)
    ratio = main(parser.parse_args().rounds)
    print(f"import quorvel.modal / import requests + pydantic (fresh interpreters): {ratio:.2f}x (target <= 1.3x)")
