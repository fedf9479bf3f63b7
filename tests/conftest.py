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
    spec = importlib.util.spec_from_file_location("compiled_funcs", path)
    module = importlib.util.module_from_spec(spec)
    sys.modules["compiled_funcs"] = module
    spec.loader.exec_module(module)
    yield module
    sys.modules.pop("compiled_funcs", None)
