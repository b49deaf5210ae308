"""The package's public names and its type information: the stub of the native module
matches the module, and mypy --strict accepts the examples and rejects wrong calls."""

import ast
import importlib.metadata
import inspect
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import quelm
import quelm._quelm_engine as engine

ROOT = Path(__file__).resolve().parent.parent
STUB = Path(engine.__file__).with_name("_quelm_engine.pyi")


def test_public_names():
    for name in quelm.__all__:
        assert hasattr(quelm, name), name
    assert {"rim_rake", "rim_rake_grouped", "rim_rake_by_scheme", "RakeResult", "InternalError"} <= set(quelm.__all__)
    assert quelm.__version__ == importlib.metadata.version("quelm")
    assert issubclass(quelm.InternalError, BaseException) and not issubclass(quelm.InternalError, Exception)


def _stub():
    return ast.parse(STUB.read_text(encoding="utf-8"))


def test_stub_signatures_match_the_module():
    functions = {}
    for node in _stub().body:
        if isinstance(node, ast.FunctionDef):
            functions.setdefault(node.name, []).append(node)
    assert set(functions) == {"rim_rake", "rim_rake_grouped", "rim_rake_by_scheme"}
    for name, overloads in functions.items():
        runtime = [(p.name, p.default) for p in inspect.signature(getattr(engine, name)).parameters.values()]
        for node in overloads:
            args = node.args.args
            defaults = [inspect.Parameter.empty] * (len(args) - len(node.args.defaults)) + [
                ast.literal_eval(d) for d in node.args.defaults]
            assert [(a.arg, d) for a, d in zip(args, defaults)] == runtime, name


def test_stub_result_class_matches_the_module():
    (cls,) = [n for n in _stub().body if isinstance(n, ast.ClassDef) and n.name == "RakeResult"]
    stub_members = {n.name for n in cls.body if isinstance(n, ast.FunctionDef)}
    runtime = {n for n in dir(engine.RakeResult) if not n.startswith("_")}
    assert stub_members - {"__repr__"} == runtime


mypy_api = pytest.importorskip("mypy.api", reason="mypy is not installed")


def _mypy(*paths, cwd=ROOT):
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull,
                           "--config-file", str(ROOT / "pyproject.toml"), *map(str, paths)],
                          cwd=cwd, capture_output=True, text=True)
    return done.returncode, done.stdout + done.stderr


def test_examples_pass_mypy_strict():
    examples = sorted((ROOT / "examples").glob("*.py"))
    assert examples
    status, report = _mypy(*examples)
    assert status == 0, report


USE = """\
import polars as pl
import quelm

frame = pl.DataFrame({"sex": ["f", "m"], "age": [1, 2]})
shares = {"sex": {"f": 0.5, "m": 0.5}}
ages = {"age": {1: 30, 2: 70}}
mixed: quelm.Targets = {"sex": {"f": 0.5, "m": 0.5}, "age": {1: 30, 2: 70}}
out, result = quelm.rim_rake(frame, ["sex"], shares)
out, result = quelm.rim_rake(frame, ["age"], ages, max_cap=3.0)
out, result = quelm.rim_rake(frame, ["sex", "age"], mixed)
out, result = quelm.rim_rake(frame, ["sex", "age"], {"sex": {"f": 0.5}, "age": {1: 0.5}})
_, groups = quelm.rim_rake_grouped(out, ["sex"], shares, ["age"])
_, groups = quelm.rim_rake_by_scheme(frame, "age", {1: mixed, "2": mixed}, default_scheme=mixed,
                                     group_totals={"1": 0.5, "2": 0.5})
_, groups = quelm.rim_rake_by_scheme(frame, "age", {"1": shares, "2": shares})
reveal_type(result)
reveal_type(groups)
reveal_type(result.efficiency)
reveal_type(result.summary())
n: str = result.n_valid  # error
quelm.rim_rake(frame, ["sex"], {"sex": {"f": "half"}})  # error
quelm.rim_rake(frame, ["sex"], shares, drop_nulls="yes")  # error
quelm.rim_rake(frame, ["sex"], shares, weight="w")  # error
quelm.rim_rake([1, 2], ["sex"], shares)  # error
"""


def test_mypy_knows_the_types(tmp_path):
    source = tmp_path / "use.py"
    source.write_text(USE)
    status, report = _mypy(source, cwd=tmp_path)
    assert status == 1
    lines = report.splitlines()
    errors = {int(line.split(":")[1]) for line in lines if ": error:" in line}
    expected = {i for i, line in enumerate(USE.splitlines(), 1) if line.endswith("# error")}
    assert errors == expected, report
    notes = [line.split("Revealed type is ")[1].strip('"') for line in lines if "Revealed type is" in line]
    assert [note.replace("builtins.", "") for note in notes] == [
        "quelm._quelm_engine.RakeResult",
        "dict[str, quelm._quelm_engine.RakeResult]",
        "float",
        "dict[str, float]",
    ]
