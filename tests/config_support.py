"""The configuration file of a test: its own file, named by QUORVEL_CONFIG,
with every QUORVEL_ variable of the environment cleared."""

import os
import time

import pytest

LONG_AGO = time.time() - 3600


def ini_fixture(*, backdate_by_default=False):
    """An ``ini`` fixture whose value writes the file:
    ``write(text, mode=0o600, *, backdate=...)`` returns its path.  A
    backdated file is old enough for its stat alone to tell its version."""

    @pytest.fixture
    def ini(tmp_path, monkeypatch):
        for name in [n for n in os.environ if n.startswith("QUORVEL_")]:
            monkeypatch.delenv(name)
        path = tmp_path / "config.ini"
        monkeypatch.setenv("QUORVEL_CONFIG", str(path))

        def write(text, mode=0o600, *, backdate=backdate_by_default):
            path.write_text(text)
            path.chmod(mode)
            if backdate:
                os.utime(path, (LONG_AGO, LONG_AGO))
            return path

        return write

    return ini
