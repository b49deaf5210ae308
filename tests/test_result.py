import math
import random
from decimal import ROUND_HALF_UP, Decimal

import pyarrow as pa
import pytest

import quelm
from conftest import blocks, result_fields, same_float, weights_of

INF = float("inf")
NAN = float("nan")
ATTRIBUTES = ["n_valid", "iterations", "converged", "stalled", "max_target_gap", "efficiency",
              "weight_min", "weight_max", "weight_ratio"]


def rake(counts, shares, **options):
    return quelm.rim_rake(pa.table({"a": blocks(*counts)}), ["a"], {"a": shares}, **options)


def rounded(x, digits):
    """Round half away from zero on x * 10**digits, then divide back."""
    power = 10.0**digits
    scaled = x * power
    if not math.isfinite(scaled):
        return scaled / power
    return float(Decimal(scaled).quantize(Decimal(1), rounding=ROUND_HALF_UP)) / power


def fixed(x, digits):
    if math.isnan(x):
        return "NaN"
    return f"{x:.{digits}f}"


def expected_repr(r):
    return (
        f"RakeResult(n_valid={r.n_valid}, iterations={r.iterations}, "
        f"converged={'true' if r.converged else 'false'}, "
        f"max_target_gap={fixed(r.max_target_gap, 2)}, efficiency={fixed(r.efficiency, 2)}%, "
        f"weights=[{fixed(r.weight_min, 4)}..{fixed(r.weight_max, 4)}])"
    )


def expected_ratio(r):
    return r.weight_max / r.weight_min if r.weight_min > 0 else INF


def expected_summary(r):
    return {
        "n_valid": float(r.n_valid),
        "iterations": float(r.iterations),
        "converged": 1.0 if r.converged else 0.0,
        "stalled": 1.0 if r.stalled else 0.0,
        "max_target_gap": r.max_target_gap,
        "efficiency": rounded(r.efficiency, 2),
        "weight_min": rounded(r.weight_min, 4),
        "weight_max": rounded(r.weight_max, 4),
        "weight_ratio": rounded(r.weight_max / r.weight_min, 2) if r.weight_min > 0 else INF,
    }


def assert_summary(r):
    summary = r.summary()
    assert type(summary) is dict
    assert set(summary) == set(ATTRIBUTES)
    assert all(type(v) is float for v in summary.values())
    expected = expected_summary(r)
    for key in ATTRIBUTES:
        assert same_float(summary[key], expected[key]), (key, summary[key], expected[key])


def fixed_result():
    return quelm.rim_rake(pa.table({"a": pa.array([], pa.int32())}), ["a"], {})[1]


def test_fixed_result_text():
    r = fixed_result()
    assert repr(r) == ("RakeResult(n_valid=0, iterations=0, converged=true, max_target_gap=0.00, "
                       "efficiency=100.00%, weights=[1.0000..1.0000])")
    assert str(r) == repr(r)
    summary = r.summary()
    assert summary["weight_ratio"] == 1.0 and summary["converged"] == 1.0
    assert_summary(r)


KNOWN = [
    ((50, 50), {0: 0.25, 1: 0.75}, {},
     "RakeResult(n_valid=100, iterations=2, converged=true, max_target_gap=0.00, "
     "efficiency=80.00%, weights=[0.5000..1.5000])"),
    ((10, 90), {0: 0.5, 1: 0.5}, {"max_iterations": 0},
     "RakeResult(n_valid=100, iterations=0, converged=false, max_target_gap=0.78, "
     "efficiency=100.00%, weights=[1.0000..1.0000])"),
    ((10, 90), {0: 0.5, 1: 0.5}, {"max_cap": -1.0, "cap_correction": False},
     "RakeResult(n_valid=100, iterations=2, converged=true, max_target_gap=2.75, "
     "efficiency=100.00%, weights=[-1.0000..-1.0000])"),
    # A NaN share turns every weight into NaN: no extreme is found.
    ((4,), {0: NAN}, {},
     "RakeResult(n_valid=4, iterations=1, converged=true, max_target_gap=0.00, "
     "efficiency=NaN%, weights=[inf..-inf])"),
    ((4,), {0: INF}, {},
     "RakeResult(n_valid=4, iterations=1, converged=true, max_target_gap=0.00, "
     "efficiency=NaN%, weights=[inf..inf])"),
    ((50, 50), {0: 0.25, 1: 0.75}, {"max_cap": -INF},
     "RakeResult(n_valid=100, iterations=2, converged=true, max_target_gap=inf, "
     "efficiency=NaN%, weights=[-inf..-inf])"),
]


@pytest.mark.parametrize("counts, shares, options, text", KNOWN)
def test_known_results(counts, shares, options, text):
    out, r = rake(counts, shares, **options)
    assert repr(r) == text
    assert repr(r) == expected_repr(r)
    assert same_float(r.weight_ratio, expected_ratio(r))
    assert_summary(r)


@pytest.mark.parametrize(
    "counts, shares, options, weight_ratio",
    [
        ((4,), {0: NAN}, {}, NAN),  # weight_min +inf, weight_max -inf
        ((4,), {0: INF}, {}, NAN),  # inf / inf
        ((2, 2), {0: 0.25, 1: 0.75}, {"max_cap": -1.0, "cap_correction": False}, INF),
        ((2, 2), {0: 0.25, 1: 0.75}, {"max_cap": -INF}, INF),
        ((2, 2), {0: 0.25, 1: 0.75}, {}, 3.0),
    ],
)
def test_weight_ratio(counts, shares, options, weight_ratio):
    _, r = rake(counts, shares, **options)
    assert same_float(r.weight_ratio, weight_ratio)
    assert same_float(r.summary()["weight_ratio"], rounded(weight_ratio, 2))


def test_weight_ratio_is_not_rounded():
    _, r = rake((10, 90), {0: 0.5, 1: 0.5})
    assert r.weight_ratio == r.weight_max / r.weight_min
    assert r.weight_ratio != round(r.weight_ratio, 2)
    assert r.summary()["weight_ratio"] == rounded(r.weight_ratio, 2)


@pytest.mark.parametrize(
    "shares, options, weight_min, weight_max",
    [
        # Weights 1/32 and 63/32: 312.5 and 19687.5 ten-thousandths round away from zero.
        ({0: 1 / 64, 1: 63 / 64}, {}, 0.0313, 1.9688),
        ({0: 0.5, 1: 0.5}, {"max_cap": -0.03125, "cap_correction": False}, -0.0313, -0.0313),
    ],
)
def test_summary_rounds_halves_away_from_zero(shares, options, weight_min, weight_max):
    _, r = rake((32, 32), shares, **options)
    assert abs(r.weight_min) == 0.03125
    summary = r.summary()
    assert (summary["weight_min"], summary["weight_max"]) == (weight_min, weight_max)
    assert_summary(r)


def _random_results():
    rng = random.Random(7)
    cases = []
    for _ in range(25):
        n_codes = rng.randint(2, 4)
        counts = [rng.randint(1, 40) for _ in range(n_codes)]
        shares = {k: rng.uniform(0.05, 1.0) for k in range(n_codes)}
        options = rng.choice([{}, {"max_cap": 1.7}, {"min_cap": 0.8, "max_cap": 1.5},
                              {"max_iterations": 1}, {"convergence_threshold": 0.0}])
        cases.append((tuple(counts), shares, options))
    return cases


@pytest.mark.parametrize("counts, shares, options", _random_results())
def test_text_and_summary_follow_the_attributes(counts, shares, options):
    _, r = rake(counts, shares, **options)
    assert repr(r) == expected_repr(r)
    assert same_float(r.weight_ratio, expected_ratio(r))
    assert_summary(r)


def test_attribute_types():
    _, r = rake((10, 90), {0: 0.5, 1: 0.5})
    assert type(r.n_valid) is int and type(r.iterations) is int
    assert r.converged is True and r.stalled is False
    for name in ["max_target_gap", "efficiency", "weight_min", "weight_max", "weight_ratio"]:
        assert type(getattr(r, name)) is float


@pytest.mark.parametrize("name", ATTRIBUTES)
def test_attributes_are_read_only(name):
    _, r = rake((10, 90), {0: 0.5, 1: 0.5})
    before = result_fields(r)
    value = getattr(r, name)
    with pytest.raises(AttributeError):
        setattr(r, name, value)
    with pytest.raises(AttributeError):
        delattr(r, name)
    assert result_fields(r) == before


def test_converged_cannot_be_assigned():
    _, r = rake((10, 90), {0: 0.5, 1: 0.5})
    with pytest.raises(AttributeError):
        r.converged = False
    assert r.converged is True


def test_summary_returns_a_new_dict():
    r = fixed_result()
    first = r.summary()
    first["n_valid"] = 99.0
    first["extra"] = 1.0
    second = r.summary()
    assert second is not first
    assert second["n_valid"] == 0.0 and "extra" not in second


def test_summary_takes_no_arguments():
    r = fixed_result()
    with pytest.raises(TypeError):
        r.summary(1)
    with pytest.raises(TypeError):
        r.summary(digits=2)


def test_result_describes_weights_before_total():
    out, r = rake((50, 50), {0: 0.25, 1: 0.75}, total=1000.0)
    assert weights_of(out) == [5.0] * 50 + [15.0] * 50
    assert (r.weight_min, r.weight_max, r.efficiency) == (0.5, 1.5, 80.0)
