"""Shared fixtures."""
import importlib.util
import shutil
import sys
from pathlib import Path

import pytest

SUPPORT = Path(__file__).parent / "support"


@pytest.fixture(scope="session")
def compiled(tmp_path_factory):
    """tests/support/compiled_funcs.pyx compiled by Cython, once per session.

    Real compiled functions are the point of quorvel.cython: they lack the
    introspection of Python functions in ways a stand-in would not.
    """
    from Cython.Build import cythonize
    from setuptools import Distribution, Extension
    from setuptools.command.build_ext import build_ext

    build_dir = tmp_path_factory.mktemp("compiled_funcs")
    source = build_dir / "compiled_funcs.pyx"
    shutil.copyfile(SUPPORT / "compiled_funcs.pyx", source)
    extensions = cythonize([Extension("compiled_funcs", [str(source)])], quiet=True)
    command = build_ext(Distribution({"ext_modules": extensions}))
    command.build_lib = str(build_dir)
    command.build_temp = str(build_dir / "tmp")
    command.ensure_finalized()
    command.run()

    (path,) = build_dir.glob("compiled_funcs*.so")
    found = importlib.util.spec_from_file_location("compiled_funcs", path)
    module = importlib.util.module_from_spec(found)
    sys.modules["compiled_funcs"] = module
    found.loader.exec_module(module)
    yield module
    sys.modules.pop("compiled_funcs", None)


# ---- property-based tests -------------------------------------------------------
# A short, reproducible run in the normal suite; QUORVEL_FUZZ=long selects the
# long run (QUORVEL_FUZZ_EXAMPLES examples per test, 20000 unless set), with
# fresh random inputs each time and hypothesis's example database.
import os  # noqa: E402

from hypothesis import HealthCheck, settings  # noqa: E402

settings.register_profile(
    "short", max_examples=30, deadline=None, derandomize=True, database=None, print_blob=True,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
settings.register_profile(
    "long", max_examples=int(os.environ.get("QUORVEL_FUZZ_EXAMPLES", "20000")), deadline=None, print_blob=True,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
settings.load_profile(os.environ.get("QUORVEL_FUZZ", "short"))

# CI's sanitized fuzz run lowers the collector's threshold, so that on 3.11
# collections (and gc callbacks, finalizers) run inside native code's
# allocations far more often than they would.
if os.environ.get("QUORVEL_GC_THRESHOLD"):
    import gc  # noqa: E402

    gc.set_threshold(int(os.environ["QUORVEL_GC_THRESHOLD"]), *gc.get_threshold()[1:])


# ---- sanitizer runs -------------------------------------------------------------
# Under AddressSanitizer/UBSan (.ci/run sets QUORVEL_SANITIZED=1) everything runs
# several times slower, so tests that assert time bounds are skipped there, as
# are the few that cannot run under ASan at all (marked, with the reason).
#
# A build with fast paths switched off (.ci/run's step_fast_paths_off) runs
# the ordinary paths only: time bounds set for the fast paths do not hold.
def pytest_collection_modifyitems(config, items):
    from fast_path_support import FAST_PATHS_OFF
    from fuzz_count import count_inputs

    count_inputs(items)
    reasons = {}
    if os.environ.get("QUORVEL_SANITIZED"):
        reasons = {
            "timing": "time bounds do not hold under AddressSanitizer/UBSan",
            "unsanitizable": "cannot run under AddressSanitizer",
        }
    elif FAST_PATHS_OFF:
        reasons = {"timing": "time bounds are set for the fast paths, which this build switched off"}
    if not reasons:
        return
    for item in items:
        for marker, reason in reasons.items():
            if marker in item.keywords:
                item.add_marker(pytest.mark.skip(reason=reason))
                break


# CI's fuzz runs report how many inputs they tried (tests/fuzz_count.py).
def pytest_sessionfinish(session, exitstatus):
    from fuzz_count import write_counts

    write_counts()
