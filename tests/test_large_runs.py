"""Runs large enough for the engine's compact layouts, checked to the bit against the numpy
reference of the benchmarks (whose np.bincount sums add in row order, as the engine does).

The engine keeps one weight per combination of categories when a run has many rows and
few such combinations; these cases cover both index widths of that layout, the plain
layout for large runs with too many combinations, nulls, inactive categories, caps and
zero weights.
"""

import importlib.util
import math
from pathlib import Path

import numpy as np
import pyarrow as pa
import pytest

import quelm

_spec = importlib.util.spec_from_file_location(
    "numpy_rake", Path(__file__).resolve().parent.parent / "bench" / "numpy_rake.py")
numpy_rake = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(numpy_rake)


def _shares(rng, k, missing=(), zero=()):
    raw = rng.uniform(0.2, 1.0, k)
    raw /= raw.sum()
    return {c: float(raw[c]) if c not in zero else 0.0 for c in range(k) if c not in missing}


def _case(name, seed=0):
    """(columns: name -> category codes with -1 for null, targets, options)."""
    rng = np.random.default_rng(seed)
    n = 100_000
    sizes = [5, 4, 10]
    options = {"convergence_threshold": 1e-9, "max_iterations": 50}
    missing, zero = {}, {}
    null_rate = 0.0
    if name == "many combinations":
        n, sizes = 400_000, [40, 30, 20]
    elif name == "too many combinations":
        n, sizes = 200_000, [300, 300]
    elif name == "nulls and inactive categories":
        null_rate = 0.05
        missing = {"c0": {4}, "c2": {9}}
        zero = {"c1": {3}}
    elif name == "caps":
        options.update(min_cap=0.4, max_cap=3.0, max_iterations=6)
    elif name == "lower cap only":
        options.update(min_cap=0.7, max_iterations=6, cap_correction=False)
    elif name == "upper cap only":
        options.update(max_cap=1.3, max_iterations=6)
    elif name == "zero upper cap":
        options.update(max_cap=0.0, cap_correction=False, max_iterations=3)
    columns, targets = {}, {}
    for j, k in enumerate(sizes):
        col = f"c{j}"
        p = rng.uniform(0.3, 1.0, k) * np.linspace(1.0, 3.0, k)
        codes = rng.choice(k, size=n, p=p / p.sum())
        if null_rate:
            codes[rng.random(n) < null_rate] = -1
        columns[col] = codes
        targets[col] = _shares(rng, k, missing.get(col, ()), zero.get(col, ()))
    if name == "nulls and inactive categories":
        targets["c0"][17] = 0.1  # a key that no row carries
        targets["c1"] = {key: share * 100.0 for key, share in targets["c1"].items()}
    return columns, targets, options


def _reference(columns, targets, options):
    cats, shares = [], []
    for name, codes in columns.items():
        # Nulls become a category of their own without a share.
        null_cat = int(codes.max()) + 1
        cats.append(np.where(codes < 0, null_cat, codes).astype(np.intp))
        shares.append({key: share for key, share in targets[name].items() if key < null_cat})
    return numpy_rake.rake(cats, shares, **options)


def _table(columns, text=False):
    arrays = {}
    for name, codes in columns.items():
        mask = codes < 0
        if text:
            labels = np.array([f"label {c}" for c in range(int(codes.max()) + 1)], dtype=object)
            arrays[name] = pa.array(np.where(mask, None, labels[np.maximum(codes, 0)]), pa.utf8())
        else:
            arrays[name] = pa.array(codes, pa.int16(), mask=mask)
    return pa.table(arrays)


def _text_targets(targets):
    return {name: {f"label {key}": share for key, share in shares.items()} for name, shares in targets.items()}


def _assert_same(out, result, expected_weights, info):
    weights = pa.table(out).column("weight").to_numpy()
    assert numpy_rake.same_bits(weights, expected_weights)
    assert result.iterations == info["iterations"]
    assert (result.converged, result.stalled) == (info["converged"], info["stalled"])
    for field in ("max_target_gap", "efficiency", "weight_min", "weight_max"):
        got, want = getattr(result, field), info[field]
        assert got == want or (math.isnan(got) and math.isnan(want)), field


@pytest.mark.parametrize("name", [
    "few combinations", "many combinations", "too many combinations", "nulls and inactive categories",
    "caps", "lower cap only", "upper cap only", "zero upper cap",
])
def test_large_runs_match_the_reference(name):
    columns, targets, options = _case(name)
    expected_weights, info = _reference(columns, targets, options)
    out, result = quelm.rim_rake(_table(columns), list(columns), targets, drop_nulls=False, **options)
    _assert_same(out, result, expected_weights, info)
    if name == "zero upper cap":
        assert np.all(expected_weights == 1.0)


def test_large_text_run_matches_the_reference():
    columns, targets, options = _case("nulls and inactive categories", seed=3)
    del targets["c0"][17]  # text keys must be labels of the data
    expected_weights, info = _reference(columns, targets, options)
    out, result = quelm.rim_rake(_table(columns, text=True), list(columns), _text_targets(targets),
                                 drop_nulls=False, **options)
    _assert_same(out, result, expected_weights, info)


def test_nan_share_spreads_to_its_rows():
    columns, targets, options = _case("few combinations")
    targets["c1"][2] = float("nan")
    expected_weights, info = _reference(columns, targets, options)
    out, result = quelm.rim_rake(_table(columns), list(columns), targets, **options)
    _assert_same(out, result, expected_weights, info)
    assert np.isnan(expected_weights).any() and not np.isnan(expected_weights).all()


def test_large_groups_match_separate_runs():
    columns, targets, options = _case("caps")
    table = _table(columns).append_column("g", pa.array((np.arange(100_000) % 3 == 0).astype(np.int64)))
    out, results = quelm.rim_rake_grouped(table, list(columns), targets, ["g"], **options)
    weights = pa.table(out).column("weight").to_numpy()
    mask = table.column("g").to_numpy()
    for key in (0, 1):
        rows = np.flatnonzero(mask == key)
        part, result = quelm.rim_rake(table.take(rows), list(columns), targets, **options)
        assert numpy_rake.same_bits(weights[rows], pa.table(part).column("weight").to_numpy())
        assert results[str(key)].iterations == result.iterations
