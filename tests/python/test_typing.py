"""The type stub of _corvalind and the package's annotations, as mypy
--strict and stubtest see them from outside the source tree."""

from __future__ import annotations

import ast
import inspect
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import _corvalind
import corvalind

pytest.importorskip("mypy", reason="mypy is not installable on this interpreter (a free-threaded build)")

USAGE = Path(__file__).with_name("stub_usage")
INSTALLED_STUB = Path(_corvalind.__file__).with_name("_corvalind.pyi")
STUB_PACKAGE = Path(_corvalind.__file__).with_name("_corvalind-stubs") / "__init__.pyi"


@pytest.fixture(scope="module")
def run_mypy(tmp_path_factory):
    """Runs a mypy tool in a directory outside the source tree (so only the
    installed package is seen), with one cache for the module's runs."""
    cwd = tmp_path_factory.mktemp("mypy")

    def run(*args: str) -> subprocess.CompletedProcess[str]:
        return subprocess.run(
            [sys.executable, "-m", *args],
            cwd=cwd,
            env={**os.environ, "MYPY_CACHE_DIR": str(cwd / "cache")},
            capture_output=True,
            text=True,
            timeout=600,
        )

    return run


def test_good_usage_passes_strict(run_mypy):
    result = run_mypy("mypy", "--strict", str(USAGE / "good_usage.py"))
    assert result.returncode == 0, result.stdout + result.stderr


def test_every_marked_mistake_is_reported(run_mypy):
    source = USAGE / "bad_usage.py"
    expected = {
        (number, code)
        for number, line in enumerate(source.read_text().splitlines(), 1)
        for code in re.findall(r"# error: ([\w-]+)", line)
    }
    result = run_mypy("mypy", "--strict", "--no-error-summary", str(source))
    reported = set(
        (int(number), code)
        for number, code in re.findall(r"^.*bad_usage\.py:(\d+): error: .*\[([\w-]+)\]$", result.stdout, re.M)
    )
    assert result.returncode == 1
    assert reported == expected, result.stdout


def test_stubtest_agrees_with_the_built_module(run_mypy):
    result = run_mypy(
        "mypy.stubtest", "_corvalind", "--allowlist", str(USAGE / "stubtest_allowlist.txt")
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_stub_is_installed_beside_the_module_and_as_stub_package():
    assert INSTALLED_STUB.read_bytes() == STUB_PACKAGE.read_bytes()
    assert (Path(corvalind.__file__).parent / "py.typed").is_file()


def test_stub_signatures_match_runtime_text_signatures():
    """Names, order and defaults of every method's parameters, for the two
    that stubtest cannot compare too."""
    tree = ast.parse(INSTALLED_STUB.read_text())
    (cls,) = [node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == "PrefixSearch"]
    methods = {node.name: node for node in cls.body if isinstance(node, ast.FunctionDef)}
    runtime = {name for name in vars(_corvalind.PrefixSearch) if not name.startswith("_")}
    assert set(methods) - {"__new__"} == runtime
    for name in runtime:
        stub_args = methods[name].args
        positional = stub_args.args
        if positional and positional[0].arg == "self":
            positional = positional[1:]
        defaults = [None] * (len(positional) - len(stub_args.defaults)) + stub_args.defaults
        stub = [
            (arg.arg, None if default is None else ast.literal_eval(default))
            for arg, default in zip(positional, defaults, strict=True)
        ]
        parameters = inspect.signature(getattr(_corvalind.PrefixSearch, name)).parameters.values()
        actual = [
            (p.name, None if p.default is inspect.Parameter.empty else p.default)
            for p in parameters
            if p.name != "self"
        ]
        assert stub == actual, name
        assert not stub_args.kwonlyargs and not stub_args.posonlyargs and stub_args.vararg is None


def test_package_reexports_the_class():
    from corvalind import PrefixSearch

    assert PrefixSearch is _corvalind.PrefixSearch
    assert "PrefixSearch" in corvalind.__all__
