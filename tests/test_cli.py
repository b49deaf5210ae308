"""The command line, run as a subprocess: ``python -m quelm rake`` and the script ``quelm``."""

import collections
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pyarrow as pa
import pyarrow.csv as pacsv
import pyarrow.ipc as ipc
import pyarrow.parquet as pq
import pytest

import quelm

REGION = ["north", "south", "south", "east", "north", "south", None, "east", "south", "south"]
AGE = [1, 2, 2, 3, 1, 3, 2, 1, 2, 3]
REGION_SHARES = {"north": 0.3, "south": 0.4, "east": 0.3}


def run(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", "quelm", *map(str, args)], capture_output=True, text=True,
                          cwd=cwd)


def weights_by_hand(values, shares):
    valid = [v for v in values if v is not None]
    counts = collections.Counter(valid)
    return [1.0 if v is None else shares[v] * len(valid) / counts[v] for v in values]


@pytest.fixture
def survey():
    return pa.table({"region": REGION, "age": pa.array(AGE, pa.int64()), "id": list(range(len(AGE)))})


def write(table, path):
    fmt = path.suffix
    if fmt == ".parquet":
        pq.write_table(table, path)
    elif fmt == ".csv":
        pacsv.write_csv(table, path)
    else:
        with ipc.new_file(path, table.schema) as writer:
            writer.write_table(table)
    return path


def read(path, fmt=None):
    fmt = fmt or path.suffix
    if fmt in (".parquet", "parquet"):
        return pq.read_table(path)
    if fmt in (".csv", "csv"):  # as the command reads CSV: an empty field is a null
        return pacsv.read_csv(path, convert_options=pacsv.ConvertOptions(null_values=[""], strings_can_be_null=True))
    return ipc.open_file(path).read_all()


def json_file(path, content):
    path.write_text(json.dumps(content))
    return path


# ---------------------------------------------------------------------------------------
# Formats and the targets file


@pytest.mark.parametrize("source, target", [
    ("in.parquet", "out.parquet"), ("in.csv", "out.csv"), ("in.arrow", "out.feather"), ("in.csv", "out.ipc"),
])
def test_formats(tmp_path, survey, source, target):
    data = write(survey, tmp_path / source)
    targets = json_file(tmp_path / "t.json", {"region": REGION_SHARES})
    done = run("rake", data, "--targets", targets, "--output", tmp_path / target)
    assert done.returncode == 0, done.stderr
    got = read(tmp_path / target)
    assert got.column_names == ["region", "age", "id", "weight"]
    assert got.column("region").to_pylist() == REGION
    assert got.column("weight").to_pylist() == pytest.approx(weights_by_hand(REGION, REGION_SHARES), rel=1e-12)


def test_format_options_override_the_extension(tmp_path, survey):
    data = write(survey, tmp_path / "in.parquet").rename(tmp_path / "in.data")
    targets = json_file(tmp_path / "t.json", {"region": REGION_SHARES})
    done = run("rake", data, "--input-format", "parquet", "--targets", targets,
               "--output", tmp_path / "out.txt", "--output-format", "csv")
    assert done.returncode == 0, done.stderr
    assert read(tmp_path / "out.txt", "csv").column_names[-1] == "weight"


@pytest.mark.parametrize("age_type", [pa.int8(), pa.uint16(), pa.int64(), pa.float64(), pa.string()])
def test_keys_of_numeric_columns_become_integers(tmp_path, age_type):
    values = [1, 2, 2, 3] * 3
    column = pa.array([str(v) for v in values]) if age_type == pa.string() else pa.array(values, age_type)
    data = write(pa.table({"age": column}), tmp_path / "in.parquet")
    shares = {"1": 0.5, "2": 0.25, "3": 0.25}
    done = run("rake", data, "--targets", json_file(tmp_path / "t.json", {"age": shares}), "-o", tmp_path / "o.parquet")
    assert done.returncode == 0, done.stderr
    by_value = {int(k): v for k, v in shares.items()}
    assert read(tmp_path / "o.parquet").column("weight").to_pylist() == pytest.approx(
        weights_by_hand(values, by_value), rel=1e-12)


def test_csv_empty_text_field_is_null(tmp_path):
    (tmp_path / "in.csv").write_text("region,n\nnorth,1\n,2\nsouth,3\nsouth,4\n")
    targets = json_file(tmp_path / "t.json", {"region": {"north": 0.5, "south": 0.5}})
    done = run("rake", tmp_path / "in.csv", "--targets", targets, "-o", tmp_path / "o.parquet")
    assert done.returncode == 0, done.stderr
    assert read(tmp_path / "o.parquet").column("weight").to_pylist() == pytest.approx([1.5, 1.0, 0.75, 0.75])


# ---------------------------------------------------------------------------------------
# Options reach the library


OPTION_CASES = {
    "max-cap": (["--max-cap", "1.2"], dict(max_cap=1.2)),
    "min-cap, no correction": (["--min-cap", "0.9", "--no-cap-correction"], dict(min_cap=0.9, cap_correction=False)),
    "keep-nulls": (["--keep-nulls"], dict(drop_nulls=False)),
    "total": (["--total", "500"], dict(total=500.0)),
    "iterations, threshold": (["--max-iterations", "1", "--convergence-threshold", "0.5"],
                              dict(max_iterations=1, convergence_threshold=0.5)),
    "weight column": (["--weight-column", "w"], dict(weight_column="w")),
}


@pytest.mark.parametrize("flags, kwargs", OPTION_CASES.values(), ids=OPTION_CASES.keys())
def test_options_match_the_library(tmp_path, survey, flags, kwargs):
    targets = {"region": REGION_SHARES, "age": {1: 0.2, 2: 0.5, 3: 0.3}}
    data = write(survey, tmp_path / "in.parquet")
    file = json_file(tmp_path / "t.json", {c: {str(k): v for k, v in s.items()} for c, s in targets.items()})
    done = run("rake", data, "--targets", file, "-o", tmp_path / "o.parquet", *flags)
    assert done.returncode == 0, done.stderr
    got = read(tmp_path / "o.parquet")
    name = kwargs.get("weight_column", "weight")
    expected, _ = quelm.rim_rake(survey, ["region", "age"], targets, **kwargs)
    default, _ = quelm.rim_rake(survey, ["region", "age"], targets)
    assert got.column(name).to_pylist() == pa.table(expected).column(name).to_pylist()
    if name == "weight":  # the option made a difference
        assert got.column(name).to_pylist() != pa.table(default).column(name).to_pylist()


def test_group_by_and_the_summary(tmp_path, survey):
    data = write(survey, tmp_path / "in.parquet")
    targets = json_file(tmp_path / "t.json", {"age": {"1": 0.5, "2": 0.25, "3": 0.25}})
    done = run("rake", data, "--targets", targets, "--group-by", "region", "--group-by", "age", "-o", tmp_path / "o.csv")
    assert done.returncode == 0, done.stderr
    lines = done.stderr.splitlines()
    assert lines[0].split() == ["group", "n_valid", "iterations", "converged", "stalled", "max_target_gap",
                                "efficiency_%", "weight_min", "weight_max", "weight_ratio"]
    groups = list(dict.fromkeys(f"{'__null__' if r is None else r}||{a}" for r, a in zip(REGION, AGE)))
    assert [line.split()[0] for line in lines[1:-1]] == groups
    assert "wrote 10 rows" in lines[-1]


def test_schemes_default_and_group_totals(tmp_path, survey):
    data = write(survey, tmp_path / "in.parquet")
    schemes = json_file(tmp_path / "s.json", {"south": {"age": {"2": 0.5, "3": 0.5}}})
    default = json_file(tmp_path / "d.json", {"age": {"1": 0.5, "3": 0.5}})
    totals = json_file(tmp_path / "g.json", {"north": 20, "south": 50, "east": 30})
    done = run("rake", data, "--scheme-by", "region", "--schemes", schemes, "--default-scheme", default,
               "--group-totals", totals, "-o", tmp_path / "o.parquet")
    assert done.returncode == 0, done.stderr
    got = read(tmp_path / "o.parquet").to_pylist()
    sums = collections.defaultdict(float)
    for row in got:
        sums[row["region"]] += row["weight"]
    assert sums["north"] == pytest.approx(2.0) and sums["south"] == pytest.approx(5.0)
    assert sums["east"] == pytest.approx(3.0) and sums[None] == 1.0
    south = [row for row in got if row["region"] == "south"]
    age2 = sum(r["weight"] for r in south if r["age"] == 2)
    assert age2 == pytest.approx(2.5)  # half of the group's 5.0


# ---------------------------------------------------------------------------------------
# Errors: one line, exit status 1, no output left behind


def _one_line_error(done):
    assert done.returncode == 1, (done.stdout, done.stderr)
    lines = done.stderr.splitlines()
    prefix = "python -m quelm rake: error: "
    assert len(lines) == 1 and lines[0].startswith(prefix), done.stderr
    return lines[0].removeprefix(prefix)


ERROR_CASES = {
    "missing input": (lambda d: ["rake", d / "nope.parquet", "--targets", d / "t.json"], "input file '{d}/nope.parquet' not found"),
    "missing targets": (lambda d: ["rake", d / "in.parquet", "--targets", d / "nope.json"], "targets file '{d}/nope.json' not found"),
    "bad json": (lambda d: ["rake", d / "in.parquet", "--targets", d / "bad.json"], "targets file '{d}/bad.json' is not valid JSON: "),
    "column the data lacks": (lambda d: ["rake", d / "in.parquet", "--targets", d / "lacks.json"], "{d}/lacks.json: column 'gender' is not in the input data"),
    "text key for numeric column": (lambda d: ["rake", d / "in.parquet", "--targets", d / "key.json"], "{d}/key.json: column 'age' holds numbers, but category \"1.5\" is not a whole number"),
    "share not a number": (lambda d: ["rake", d / "in.parquet", "--targets", d / "share.json"], "{d}/share.json: share of category \"north\" in column 'region' is not a number: \"half\""),
    "unknown category": (lambda d: ["rake", d / "in.parquet", "--targets", d / "west.json"], "Target key \"west\" for column 'region' is not a category in the data"),
    "missing group column": (lambda d: ["rake", d / "in.parquet", "--targets", d / "t.json", "--group-by", "country"], "Group column 'country' not found"),
    "missing scheme column": (lambda d: ["rake", d / "in.parquet", "--scheme-by", "country", "--schemes", d / "s.json"], "Group column 'country' not found"),
    "not a parquet file": (lambda d: ["rake", d / "bad.json", "--input-format", "parquet", "--targets", d / "t.json"], "cannot read '{d}/bad.json' as parquet: "),
    "missing output directory": (lambda d: ["rake", d / "in.parquet", "--targets", d / "t.json", "--output", d / "no" / "o.parquet"], "output directory '{d}/no' does not exist"),
}


@pytest.mark.parametrize("argv, message", ERROR_CASES.values(), ids=ERROR_CASES.keys())
def test_errors(tmp_path, survey, argv, message):
    write(survey, tmp_path / "in.parquet")
    json_file(tmp_path / "t.json", {"region": REGION_SHARES})
    (tmp_path / "bad.json").write_text('{"region": {"north": 0.5,,}}')
    json_file(tmp_path / "lacks.json", {"region": REGION_SHARES, "gender": {"f": 0.5}})
    json_file(tmp_path / "key.json", {"age": {"1.5": 0.5}})
    json_file(tmp_path / "share.json", {"region": {"north": "half"}})
    json_file(tmp_path / "west.json", {"region": {"west": 0.5}})
    json_file(tmp_path / "s.json", {"de": {"region": REGION_SHARES}})
    before = sorted(os.listdir(tmp_path))
    args = argv(tmp_path)
    if "--output" not in args:
        args += ["--output", tmp_path / "out.parquet"]
    done = run(*args)
    text = _one_line_error(done)
    assert text.startswith(message.format(d=tmp_path)), text
    assert "Traceback" not in done.stderr
    assert sorted(os.listdir(tmp_path)) == before  # no output, no temporary file


def test_failure_keeps_an_existing_output(tmp_path, survey):
    write(survey, tmp_path / "in.parquet")
    out = tmp_path / "out.parquet"
    out.write_bytes(b"previous run")
    done = run("rake", tmp_path / "in.parquet", "--targets", json_file(tmp_path / "t.json", {"region": {"x": 1}}),
               "--output", out)
    _one_line_error(done)
    assert out.read_bytes() == b"previous run"


USAGE_CASES = {
    "no output": ["rake", "in.parquet", "--targets", "t.json"],
    "no targets": ["rake", "in.parquet", "-o", "o.parquet"],
    "schemes without scheme-by": ["rake", "in.parquet", "--targets", "t.json", "--schemes", "s.json", "-o", "o.parquet"],
    "scheme-by without schemes": ["rake", "in.parquet", "--scheme-by", "region", "-o", "o.parquet"],
    "group totals without scheme-by": ["rake", "in.parquet", "--targets", "t.json", "--group-totals", "g.json", "-o", "o.parquet"],
    "unknown extension": ["rake", "in.parquet", "--targets", "t.json", "-o", "o.xlsx"],
    "unknown option": ["rake", "in.parquet", "--targets", "t.json", "-o", "o.parquet", "--cap", "3"],
    "not a number": ["rake", "in.parquet", "--targets", "t.json", "-o", "o.parquet", "--max-cap", "three"],
    "unknown command": ["weigh", "in.parquet"],
    "no command": [],
}


@pytest.mark.parametrize("argv", USAGE_CASES.values(), ids=USAGE_CASES.keys())
def test_usage_errors(tmp_path, argv):
    done = run(*argv, cwd=tmp_path)
    assert done.returncode == 2, done.stderr
    assert "Traceback" not in done.stderr and done.stderr.strip()
    assert os.listdir(tmp_path) == []


# ---------------------------------------------------------------------------------------
# Entry points


def test_console_script(tmp_path, survey):
    script = shutil.which("quelm", path=os.path.dirname(sys.executable))
    if script is None:
        pytest.skip("the console script is not installed next to this interpreter")
    data = write(survey, tmp_path / "in.parquet")
    targets = json_file(tmp_path / "t.json", {"region": REGION_SHARES})
    done = subprocess.run([script, "rake", data, "--targets", targets, "-o", tmp_path / "o.parquet"],
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert read(tmp_path / "o.parquet").num_rows == len(REGION)
    assert subprocess.run([script, "--help"], capture_output=True, text=True).stdout.startswith("usage: quelm rake")


def test_demo_still_runs(tmp_path):
    done = run("demo", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert "sample survey: 3000 respondents" in done.stdout
    assert "share satisfied" in done.stdout
