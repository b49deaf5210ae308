"""Every code example of the README and docs/ runs, and the README's command-line walk-through
turns the bundled sample survey into a weighted Parquet file."""

import json
import re
import shlex
import shutil
import subprocess
import sys
from pathlib import Path

import pyarrow.parquet as pq
import pytest

ROOT = Path(__file__).resolve().parent.parent
DOCUMENTS = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
FENCE = re.compile(r"^```(\w*)([^\n]*)\n(.*?)^```", re.S | re.M)


def blocks(path, language):
    """(line, info, code) of every fenced block of `language` in the file."""
    text = path.read_text(encoding="utf-8")
    return [(text[:m.start()].count("\n") + 1, m.group(2).strip(), m.group(3))
            for m in FENCE.finditer(text) if m.group(1) == language]


@pytest.mark.parametrize("path", DOCUMENTS, ids=[p.name for p in DOCUMENTS])
def test_python_blocks_run(path, tmp_path, monkeypatch, capsys):
    # The blocks of one document run in order in one namespace, as a reader would type them.
    monkeypatch.chdir(tmp_path)
    namespace: dict = {"__name__": "__docs__"}
    code = [(line, src) for line, info, src in blocks(path, "python") if "no-run" not in info.split()]
    for line, src in code:
        exec(compile(src, f"{path.name}, block at line {line}", "exec"), namespace)


def test_every_document_has_examples():
    for path in (ROOT / "README.md", ROOT / "docs" / "guide.md", ROOT / "docs" / "errors.md"):
        assert blocks(path, "python"), path


def test_readme_walkthrough_writes_a_weighted_parquet_file(tmp_path):
    files = {info: src for _, info, src in blocks(ROOT / "README.md", "json") if info}
    assert "margins.json" in files
    (tmp_path / "margins.json").write_text(files["margins.json"])
    sample = tmp_path / "python" / "quelm" / "data"
    sample.mkdir(parents=True)
    shutil.copy(ROOT / "python" / "quelm" / "data" / "sample_survey.csv", sample)
    commands = [line for _, _, src in blocks(ROOT / "README.md", "sh") for line in src.splitlines()
                if line.startswith("quelm rake ")]
    assert commands
    for command in commands:
        argv = shlex.split(command)[1:]
        done = subprocess.run([sys.executable, "-m", "quelm", *argv], cwd=tmp_path, capture_output=True, text=True)
        assert done.returncode == 0, done.stderr
    table = pq.read_table(tmp_path / "weighted.parquet").to_pylist()
    margins = json.loads(files["margins.json"])
    total = sum(row["weight"] for row in table)
    for column, shares in margins.items():
        scale = 100.0 if sum(shares.values()) > 1.5 else 1.0
        for category, share in shares.items():
            weighted = sum(row["weight"] for row in table if row[column] == category) / total
            assert weighted == pytest.approx(share / scale, abs=0.01), (column, category)


EXAMPLES = sorted((ROOT / "examples").glob("*.py"))


@pytest.mark.parametrize("script", EXAMPLES, ids=[p.name for p in EXAMPLES])
def test_examples_run(script, tmp_path):
    done = subprocess.run([sys.executable, str(script)], cwd=tmp_path, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr


def test_relative_links_point_at_files():
    for path in DOCUMENTS:
        for target in re.findall(r"\]\(([^)#:]+)(?:#[^)]*)?\)", path.read_text(encoding="utf-8")):
            assert (path.parent / target).exists(), (path.name, target)
