"""A numpy implementation of quelm's raking, written to give the same weights bit for bit.

This is the baseline of the benchmarks: the same algorithm (column passes in target order,
factor t / s per category, caps with renormalisation, the convergence and stall tests, the
diagnostics) expressed the way one would write it in numpy. Every category sum is an
``np.bincount(cat, weights=w)``, which adds the weights of each bin one by one in row order
starting from 0.0, exactly as quelm does; plain sums over all rows use ``np.cumsum`` (a
sequential sum) instead of ``np.sum`` (pairwise, so different in the last bits).

    weights, info = rake([cat_a, cat_b], [{0: 0.3, 1: 0.7}, {...}], convergence_threshold=1e-9)

``cats`` are non-negative integer arrays (one per target column, a category index per
row; ``np.intp`` avoids a conversion inside bincount), ``shares`` map a category index to
its share (proportions, or percentages when they sum to more than 1.5).
"""

from __future__ import annotations

import math

import numpy as np

MIN_TARGET_COUNT = 1e-10
PROGRESS_FACTOR = 0.9999999999
CAP_CORRECTION = 0.0001
MAX_CAP_SWEEPS = 100


def _seq_sum(x: np.ndarray) -> float:
    """Sum in row order from 0.0 (np.sum would add pairwise)."""
    if x.size == 0:
        return 0.0
    return float(np.cumsum(x)[-1])


def _max_ignoring_nan(values: np.ndarray, start: float) -> float:
    values = values[~np.isnan(values)]
    if values.size == 0:
        return start
    return max(start, float(values.max()))


class _Column:
    def __init__(self, cat: np.ndarray, shares: dict[int, float], n: int):
        self.cat = cat
        total = 0.0
        for share in shares.values():
            total += share
        divisor = 100.0 if total > 1.5 else 1.0
        size = int(cat.max()) + 1 if cat.size else 0
        size = max(size, max(shares, default=-1) + 1)
        self.size = size
        self.targets = np.zeros(size)
        has_share = np.zeros(size, dtype=bool)
        for code, share in shares.items():
            s = share if divisor == 1.0 else share / divisor
            self.targets[code] = s * float(n)
            has_share[code] = True
        counts = np.bincount(cat, minlength=size)
        # Active: a share, a target count not below 1e-10 (NaN counts), at least one row.
        self.active = has_share & ~(self.targets < MIN_TARGET_COUNT) & (counts > 0)

    def sums(self, w: np.ndarray) -> np.ndarray:
        return np.bincount(self.cat, weights=w, minlength=self.size)


def _clamp(w: np.ndarray, lo: float | None, hi: float | None) -> bool:
    changed = False
    if hi is not None:
        above = w > hi
        if above.any():
            changed = True
            w[above] = hi
    if lo is not None:
        below = w < lo
        if below.any():
            changed = True
            w[below] = lo
    return changed


def _caps(w: np.ndarray, lo: float | None, hi: float | None) -> np.ndarray:
    n = float(w.size)
    for _ in range(MAX_CAP_SWEEPS):
        if not _clamp(w, lo, hi):
            break
        mean = _seq_sum(w) / n
        if mean > 0.0:
            w = w / mean
    return w


def rake(
    cats: list[np.ndarray],
    shares: list[dict[int, float]],
    *,
    max_iterations: int = 1000,
    convergence_threshold: float = 0.01,
    min_cap: float | None = None,
    max_cap: float | None = None,
    cap_correction: bool = True,
) -> tuple[np.ndarray, dict]:
    """Rakes; returns the weights and the diagnostics under RakeResult's names."""
    n = cats[0].size if cats else 0
    if n == 0:
        return np.empty(0), dict(iterations=0, converged=True, stalled=False, max_target_gap=0.0,
                                 efficiency=100.0, weight_min=1.0, weight_max=1.0)
    cols = [_Column(c, s, n) for c, s in zip(cats, shares)]
    lo = None if min_cap is None else (min_cap - CAP_CORRECTION if cap_correction else min_cap)
    hi = None if max_cap is None else (max_cap + CAP_CORRECTION if cap_correction else max_cap)
    w = np.ones(n)

    k = 0
    converged = stalled = False
    if max_iterations > 0:
        prev_gap = math.inf
        no_progress = 0
        k = 1
        while True:
            iter_gap = 0.0
            for col in cols:
                s = col.sums(w)
                adjust = col.active & (s > 0.0)
                t = col.targets[adjust]
                sa = s[adjust]
                col_gap = _max_ignoring_nan(np.abs(sa - t) / (t + 1.0), 0.0)
                iter_gap = max(iter_gap, col_gap)
                factors = np.ones(col.size)
                factors[adjust] = t / sa
                w *= factors[col.cat]
            if lo is not None or hi is not None:
                w = _caps(w, lo, hi)
            if iter_gap < convergence_threshold:
                converged = True
                break
            if iter_gap >= prev_gap * PROGRESS_FACTOR:
                if no_progress > 1:
                    stalled = True
                    break
                no_progress += 1
            else:
                no_progress = 0
            if k == max_iterations:
                break
            prev_gap = iter_gap
            k += 1

    w[w == 0.0] = 1.0
    finite = w[~np.isnan(w)]
    weight_min = float(finite.min()) if finite.size else math.inf
    weight_max = float(finite.max()) if finite.size else -math.inf
    s_sum = _seq_sum(w)
    q_sum = _seq_sum(w * w)
    efficiency = 0.0 if q_sum == 0.0 else (s_sum * s_sum) / (q_sum * float(n)) * 100.0
    final_gap = 0.0
    for col in cols:
        s = col.sums(w)[col.active]
        t = col.targets[col.active]
        final_gap = _max_ignoring_nan(np.abs(s - t) / (t + 1.0), final_gap)
    return w, dict(iterations=k, converged=converged, stalled=stalled, max_target_gap=final_gap,
                   efficiency=efficiency, weight_min=weight_min, weight_max=weight_max)


def same_bits(a: np.ndarray, b: np.ndarray) -> bool:
    """Equal to the last bit (NaN payloads and signed zeros included)."""
    a = np.ascontiguousarray(a, dtype=np.float64)
    b = np.ascontiguousarray(b, dtype=np.float64)
    return a.shape == b.shape and bool(np.array_equal(a.view(np.uint64), b.view(np.uint64)))
