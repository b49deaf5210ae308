"""rim_rake_by_scheme: every group raked against the scheme chosen for its group value.

The oracle: a group raked with a scheme gets, to the bit, the weights and diagnostics of
rim_rake on a table of that group's rows alone with the scheme as its targets.
"""

import random

import pyarrow as pa
import pytest

import quelm
from conftest import result_fields

REGIONS = ["north", "south", "east"]
S_REGION = {"region": {"north": 0.5, "south": 0.3, "east": 0.2}}
S_BOTH = {"age": {0: 0.2, 1: 0.3, 2: 0.5}, "region": {"north": 0.4, "south": 0.4, "east": 0.2}}
S_AGE = {"age": {0: 40, 1: 30, 2: 30}}
NEUTRAL = (0, 0, True, False, 0.0, 100.0, 1.0, 1.0)
SCHEMA = pa.schema([("g", pa.int64()), ("region", pa.utf8()), ("age", pa.int32()), ("flag", pa.bool_())])


fields = result_fields


def unraked(size):
    return (size,) + NEUTRAL[1:]


def weights(out):
    table = pa.table(out)
    return table.column(table.num_columns - 1).to_pylist()


def survey_rows(seed, groups, null_rate=0.1):
    """Rows as dicts; every group holds every region and every age."""
    rng = random.Random(seed)
    rows = []
    for g in groups:
        for i in range(rng.randint(6, 40)):
            first = i < 6
            rows.append(
                {
                    "g": g,
                    "region": REGIONS[i % 3] if first else (None if rng.random() < null_rate else rng.choice(REGIONS)),
                    "age": i % 3 if first else (None if rng.random() < null_rate else rng.choice([0, 1, 2, 3])),
                    "flag": rng.random() < 0.5,
                }
            )
    rng.shuffle(rows)
    return rows


def table_of(rows):
    return pa.Table.from_pylist(rows, schema=SCHEMA)


def members(rows, g):
    return [i for i, row in enumerate(rows) if row["g"] == g]


def check_raked(rows, out, results, key, g, scheme, **options):
    """The rows of group g carry the weights of rim_rake on them alone with the scheme."""
    index = members(rows, g)
    alone, alone_result = quelm.rim_rake(table_of([rows[i] for i in index]), list(scheme), scheme, **options)
    got = weights(out)
    assert [got[i] for i in index] == weights(alone), key
    assert fields(results[key]) == fields(alone_result), key
    assert alone_result.iterations > 0 or options.get("max_iterations") == 0


def check_unraked(rows, out, results, key, g):
    index = members(rows, g)
    got = weights(out)
    assert [got[i] for i in index] == [1.0] * len(index), key
    assert fields(results[key]) == unraked(len(index)), key


ROWS = survey_rows(1, [1, 2, 3, None, 4])


@pytest.mark.parametrize(
    "options",
    [
        {},
        {"min_cap": 0.6, "max_cap": 1.5},
        {"min_cap": 0.8, "max_cap": 1.3, "cap_correction": False, "max_iterations": 5, "convergence_threshold": 1e-6},
    ],
)
def test_schemes_and_default(options):
    schemes = {1: S_REGION, 2: S_BOTH}
    out, results = quelm.rim_rake_by_scheme(table_of(ROWS), "g", schemes, default_scheme=S_AGE, **options)
    assert list(results) == list(dict.fromkeys("__null__" if r["g"] is None else str(r["g"]) for r in ROWS))
    check_raked(ROWS, out, results, "1", 1, S_REGION, **options)
    check_raked(ROWS, out, results, "2", 2, S_BOTH, **options)
    for key, g in [("3", 3), ("__null__", None), ("4", 4)]:
        check_raked(ROWS, out, results, key, g, S_AGE, **options)


def test_groups_without_scheme_or_default_are_unraked():
    out, results = quelm.rim_rake_by_scheme(table_of(ROWS), "g", {2: S_BOTH})
    check_raked(ROWS, out, results, "2", 2, S_BOTH)
    for key, g in [("1", 1), ("3", 3), ("__null__", None), ("4", 4)]:
        check_unraked(ROWS, out, results, key, g)


def test_empty_schemes_rake_nothing():
    out, results = quelm.rim_rake_by_scheme(table_of(ROWS), "g", {})
    assert weights(out) == [1.0] * len(ROWS)
    for key, g in [("1", 1), ("2", 2), ("3", 3), ("__null__", None), ("4", 4)]:
        check_unraked(ROWS, out, results, key, g)


def test_drop_nulls_false():
    rows = [dict(row, age=0 if row["age"] is None else row["age"]) for row in ROWS]
    out, results = quelm.rim_rake_by_scheme(table_of(rows), "g", {1: S_BOTH}, default_scheme=S_REGION, drop_nulls=False)
    check_raked(rows, out, results, "1", 1, S_BOTH, drop_nulls=False)
    check_raked(rows, out, results, "3", 3, S_REGION, drop_nulls=False)
    assert results["3"].n_valid == len(members(rows, 3))


def test_masks_follow_the_scheme_columns():
    # Group 1 has nulls in age only; its scheme does not use age, so they take part.
    rows = [dict(row, age=None) if row["g"] == 1 and row["age"] == 3 else row for row in ROWS]
    assert any(row["g"] == 1 and row["age"] is None for row in rows)
    out, results = quelm.rim_rake_by_scheme(table_of(rows), "g", {1: S_REGION, 2: S_BOTH, 3: S_AGE})
    check_raked(rows, out, results, "1", 1, S_REGION)
    check_raked(rows, out, results, "2", 2, S_BOTH)
    check_raked(rows, out, results, "3", 3, S_AGE)
    invalid = [i for i, row in enumerate(rows) if row["g"] == 2 and (row["age"] is None or row["region"] is None)]
    assert invalid and all(weights(out)[i] == 1.0 for i in invalid)


def test_group_with_only_null_scheme_rows():
    rows = ROWS + [{"g": 7, "region": None, "age": 1, "flag": True}] * 3
    out, results = quelm.rim_rake_by_scheme(table_of(rows), "g", {7: S_REGION, 1: S_REGION})
    assert fields(results["7"]) == NEUTRAL
    assert weights(out)[-3:] == [1.0] * 3
    check_raked(rows, out, results, "1", 1, S_REGION)


def test_null_group_selected_by_its_key_text():
    out, results = quelm.rim_rake_by_scheme(table_of(ROWS), "g", {"__null__": S_BOTH})
    check_raked(ROWS, out, results, "__null__", None, S_BOTH)
    check_unraked(ROWS, out, results, "1", 1)


@pytest.mark.parametrize(
    "schemes, message",
    [
        ({1: S_AGE, 2: {"missing": {1: 1.0}}}, None),
        ({1: {"region": {"west": 1.0}}}, "Target key \"west\" for column 'region' is not a category in the data"),
    ],
)
def test_zero_rows(schemes, message):
    empty = table_of([])
    if message is None:
        out, results = quelm.rim_rake_by_scheme(empty, "g", schemes, group_totals={1: 1.0}, total=5.0)
        assert results == {}
        assert pa.table(out).num_rows == 0
    else:
        with pytest.raises(ValueError) as excinfo:
            quelm.rim_rake_by_scheme(empty, "g", schemes)
        assert excinfo.value.args == (message,)


def with_group_column(rows, values, arrow_type):
    table = table_of(rows)
    column = pa.array([None if row["g"] is None else values(row["g"]) for row in rows], arrow_type)
    return table.set_column(0, "g", column)


GROUP_TYPES = {
    "int64": (lambda g: g, pa.int64()),
    "int32": (lambda g: g, pa.int32()),
    "float64": (lambda g: float(g), pa.float64()),
    "utf8": (lambda g: str(g), pa.utf8()),
    "dictionary": (lambda g: str(g), pa.dictionary(pa.int8(), pa.utf8())),
}


@pytest.mark.parametrize("key", [1, 1.0, "1", True], ids=["int", "float", "text", "bool"])
@pytest.mark.parametrize("values, arrow_type", GROUP_TYPES.values(), ids=GROUP_TYPES.keys())
def test_scheme_keys_match_group_values_as_text(values, arrow_type, key):
    table = with_group_column(ROWS, values, arrow_type)
    out, results = quelm.rim_rake_by_scheme(table, "g", {key: S_BOTH})
    check_raked(ROWS, out, results, "1", 1, S_BOTH)
    for other, g in [("2", 2), ("3", 3), ("__null__", None), ("4", 4)]:
        check_unraked(ROWS, out, results, other, g)


@pytest.mark.parametrize(
    "entries, winner",
    [
        ([(1, S_REGION), ("1", S_BOTH)], S_BOTH),
        ([("1", S_BOTH), (1.0, S_REGION)], S_REGION),
        ([(1.0, S_BOTH), (1, S_AGE), ("1", S_REGION)], S_REGION),
        ([("1", S_REGION), (1, S_AGE)], S_AGE),
    ],
)
def test_last_of_equal_scheme_keys_wins(entries, winner):
    out, results = quelm.rim_rake_by_scheme(table_of(ROWS), "g", dict(entries))
    check_raked(ROWS, out, results, "1", 1, winner)


FLOAT_ROWS = [{"v": v} for v in [2.0**70, 2.5, -0.0, 0.0, float("nan"), 1e-7, 1e21, float("inf"), 2.5, -0.0]]


@pytest.mark.parametrize(
    "key, group",
    [
        (2**70, 0),
        (2.0**70, 0),
        (2.5, 1),
        ("2.5", 1),
        (-0.0, 2),
        (0.0, 3),
        (0, 3),
        (float("nan"), 4),
        ("NaN", 4),
        (1e-7, 5),
        (10**21, 6),
        (float("inf"), 7),
        ("inf", 7),
    ],
)
def test_number_keys_match_float_group_values(key, group):
    values = [row["v"] for row in FLOAT_ROWS]
    table = pa.table({"v": pa.array(values), "x": pa.array([0] * len(values), pa.int32())})
    _, results = quelm.rim_rake_by_scheme(table, "v", {key: {"x": {0: 1.0}}}, max_iterations=3)
    keys = list(results)
    assert len(keys) == 8
    assert [results[k].iterations > 0 for k in keys] == [i == group for i in range(8)]


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def test_key_converted_through_index():
    out, results = quelm.rim_rake_by_scheme(table_of(ROWS), "g", {Index(2): S_BOTH})
    check_raked(ROWS, out, results, "2", 2, S_BOTH)


@pytest.mark.parametrize("key", [(1,), None, frozenset(), b"1"], ids=["tuple", "None", "frozenset", "bytes"])
@pytest.mark.parametrize("where", ["schemes", "group_totals"])
def test_key_that_is_no_number_nor_text(where, key):
    arguments = {"schemes": {1: S_REGION}}
    arguments[where] = {key: S_REGION if where == "schemes" else 0.5}
    with pytest.raises(TypeError) as excinfo:
        quelm.rim_rake_by_scheme(table_of(ROWS), "g", **arguments)
    assert type(excinfo.value) is TypeError
    assert not str(excinfo.value).startswith("argument")


@pytest.mark.parametrize(
    "scheme, message",
    [
        ([("region", {"north": 1.0})], "'list' object is not an instance of 'dict'"),
        (None, "'None' is not an instance of 'dict'"),
        ({"region": [0.5]}, "'list' object is not an instance of 'dict'"),
        ({3: {"north": 1.0}}, "'int' object is not an instance of 'str'"),
        ({"region": {(1,): 1.0}}, "'tuple' object is not an instance of 'str'"),
    ],
)
def test_malformed_scheme_value(scheme, message):
    with pytest.raises(TypeError) as excinfo:
        quelm.rim_rake_by_scheme(table_of(ROWS), "g", {2: S_REGION, 1: scheme})
    assert type(excinfo.value) is TypeError
    assert str(excinfo.value) == message


@pytest.mark.parametrize("value", [None, [0.5], "half"])
def test_group_total_that_is_no_number(value):
    with pytest.raises(TypeError) as excinfo:
        quelm.rim_rake_by_scheme(table_of(ROWS), "g", {}, group_totals={1: 0.2, 2: value})
    assert not str(excinfo.value).startswith("argument")


def group_total_weights(keys, base, shares):
    """Each group with a share scaled so that its weights sum to share * row count."""
    share_sum = sum(shares.values())
    if share_sum > 1.5:
        shares = {k: s / 100.0 for k, s in shares.items()}
    n = len(base)
    result = list(base)
    for key in dict.fromkeys(keys):
        if key not in shares:
            continue
        index = [i for i, k in enumerate(keys) if k == key]
        s = -0.0
        for i in index:
            s += result[i]
        if s > 0:
            factor = (shares[key] * n) / s
            for i in index:
                result[i] = factor * result[i]
    return result


def scaled_to_total(values, total):
    s = -0.0
    for v in values:
        s += v
    factor = total / s
    return [v * factor for v in values]


KEYS = ["__null__" if row["g"] is None else str(row["g"]) for row in ROWS]
SCHEMES = {1: S_REGION, 2: S_BOTH, 3: S_AGE}


@pytest.mark.parametrize(
    "shares",
    [
        {1: 0.3, 2: 0.2, 3: 0.1, 4: 0.25, "__null__": 0.15},
        {1: 0.6, "2": 0.4},
        {1: 1.0, 2: 0.5},  # sums to exactly 1.5: fractions
        {1: 1.0, 2: 0.5000001},  # above 1.5: percentages
        {1: 0.5, 99: 1.2},  # a key without a group still counts in the sum
        {4: 0.3},  # an unraked group takes part with its weights of 1.0
    ],
)
def test_group_totals(shares):
    table = table_of(ROWS)
    base_out, base_results = quelm.rim_rake_by_scheme(table, "g", SCHEMES)
    out, results = quelm.rim_rake_by_scheme(table, "g", SCHEMES, group_totals=shares)
    text_shares = {str(k): v for k, v in shares.items()}
    assert weights(out) == group_total_weights(KEYS, weights(base_out), text_shares)
    assert {k: fields(r) for k, r in results.items()} == {k: fields(r) for k, r in base_results.items()}


def test_group_totals_as_fractions_and_percentages_agree():
    table = table_of(ROWS)
    fractions, _ = quelm.rim_rake_by_scheme(table, "g", SCHEMES, group_totals={1: 0.6, 2: 0.4})
    percentages, _ = quelm.rim_rake_by_scheme(table, "g", SCHEMES, group_totals={1: 60, 2: 40})
    base, _ = quelm.rim_rake_by_scheme(table, "g", SCHEMES)
    assert weights(fractions) == weights(percentages)
    assert weights(fractions) != weights(base)


def test_group_total_of_half_with_200_rows():
    rows = [{"g": g, "x": x} for g, x in [("a", 0)] * 30 + [("a", 1)] * 50 + [("b", 0)] * 70 + [("c", 1)] * 50]
    random.Random(3).shuffle(rows)
    table = pa.Table.from_pylist(rows, schema=pa.schema([("g", pa.utf8()), ("x", pa.int64())]))
    scheme = {"x": {0: 0.5, 1: 0.5}}
    base, _ = quelm.rim_rake_by_scheme(table, "g", {"a": scheme, "c": scheme})
    out, _ = quelm.rim_rake_by_scheme(table, "g", {"a": scheme, "c": scheme}, group_totals={"a": 0.5})
    got, before = weights(out), weights(base)
    in_a = [row["g"] == "a" for row in rows]
    assert sum(w for w, a in zip(got, in_a) if a) == pytest.approx(100.0, rel=1e-12)
    assert [w for w, a in zip(got, in_a) if not a] == [w for w, a in zip(before, in_a) if not a]
    assert sum(w for w, a in zip(before, in_a) if a) == pytest.approx(80.0, rel=1e-12)


@pytest.mark.parametrize("total", [1000.0, 7.0])
def test_group_totals_then_total(total):
    table = table_of(ROWS)
    shares = {1: 0.5, 2: 0.25, 4: 0.25}
    base, _ = quelm.rim_rake_by_scheme(table, "g", SCHEMES)
    out, _ = quelm.rim_rake_by_scheme(table, "g", SCHEMES, group_totals=shares, total=total)
    expected = scaled_to_total(group_total_weights(KEYS, weights(base), {str(k): v for k, v in shares.items()}), total)
    assert weights(out) == expected
    assert sum(weights(out)) == pytest.approx(total, rel=1e-12)


@pytest.mark.parametrize("total", [0.0, -1.0, float("nan")])
def test_total_not_greater_than_zero_is_ignored(total):
    table = table_of(ROWS)
    base, _ = quelm.rim_rake_by_scheme(table, "g", SCHEMES, group_totals={1: 0.5})
    out, _ = quelm.rim_rake_by_scheme(table, "g", SCHEMES, group_totals={1: 0.5}, total=total)
    assert weights(out) == weights(base)


def test_unraked_rows_take_part_in_group_totals_and_total():
    table = pa.table({"g": ["a"] * 50 + ["b"] * 150})
    out, results = quelm.rim_rake_by_scheme(table, "g", {}, group_totals={"a": 0.5})
    assert weights(out) == [2.0] * 50 + [1.0] * 150
    out, _ = quelm.rim_rake_by_scheme(table, "g", {}, group_totals={"a": 0.5}, total=50.0)
    assert weights(out) == [0.4] * 50 + [0.2] * 150
    assert [fields(r) for r in results.values()] == [unraked(50), unraked(150)]


def test_scheme_column_absent_from_table_with_another_column():
    scheme = {"region": S_REGION["region"], "missing": {1: 1.0}}
    with pytest.raises(ValueError) as excinfo:
        quelm.rim_rake_by_scheme(table_of(ROWS), "g", {1: scheme})
    assert excinfo.value.args == ("Target column 'missing' not found in data",)


def test_scheme_of_absent_columns_only_is_neutral():
    out, results = quelm.rim_rake_by_scheme(
        table_of(ROWS), "g", {1: {"missing": {1: 1.0}, "other": {}}, 2: S_BOTH}
    )
    check_unraked(ROWS, out, results, "1", 1)
    check_raked(ROWS, out, results, "2", 2, S_BOTH)


def test_scheme_column_absent_from_table_with_text_key():
    with pytest.raises(ValueError) as excinfo:
        quelm.rim_rake_by_scheme(table_of(ROWS), "g", {1: {"missing": {"x": 1.0}}})
    assert excinfo.value.args == (
        "Target key \"x\" for column 'missing' is text, but that column holds numeric category codes",
    )


@pytest.mark.parametrize(
    "scheme, message",
    [
        ({"region": {"west": 1.0}}, "Target key \"west\" for column 'region' is not a category in the data"),
        ({"region": {1: 1.0}}, "Target key 1 for column 'region' is numeric, but that column holds text category codes"),
        ({"flag": {1: 1.0}}, "Column 'flag' has unsupported type Boolean, expected integer or float"),
        ({"missing": {"x": 1.0}}, "Target key \"x\" for column 'missing' is text, but that column holds numeric category codes"),
        ({"age": {0: 1.0}, "missing": {1: 1.0}}, None),
    ],
)
@pytest.mark.parametrize("where", ["unused_scheme", "default_without_users"])
def test_scheme_without_group_is_still_checked(scheme, message, where):
    if where == "unused_scheme":
        arguments = {"schemes": {1: S_REGION, 99: scheme}}
    else:
        # every group has its own scheme, so the default is never used
        arguments = {"schemes": {g: S_REGION for g in [1, 2, 3, 4, "__null__"]}, "default_scheme": scheme}
    if message is None:
        out, results = quelm.rim_rake_by_scheme(table_of(ROWS), "g", **arguments)
        check_raked(ROWS, out, results, "1", 1, S_REGION)
    else:
        with pytest.raises(ValueError) as excinfo:
            quelm.rim_rake_by_scheme(table_of(ROWS), "g", **arguments)
        assert excinfo.value.args == (message,)


def test_failing_groups_give_one_error():
    rows = survey_rows(2, list(range(40)), null_rate=0.0)
    schemes = {g: {"age": S_BOTH["age"], f"m{g}": {1: 1.0}} for g in range(40)}
    with pytest.raises(ValueError) as excinfo:
        quelm.rim_rake_by_scheme(table_of(rows), "g", schemes)
    assert type(excinfo.value) is ValueError
    assert len(excinfo.value.args) == 1
    assert excinfo.value.args[0] in {f"Target column 'm{g}' not found in data" for g in range(40)}


ORDER = [
    # the default scheme is parsed before the schemes, the schemes before the group totals,
    # and all of them before the group column is decoded
    ({"default_scheme": {"region": []}, "schemes": {(1,): S_REGION}}, TypeError, "'list' object is not an instance of 'dict'"),
    ({"schemes": {1: []}, "group_totals": {1: None}}, TypeError, "'list' object is not an instance of 'dict'"),
    ({"group_column": "nope", "schemes": {1: {"region": 1}}}, TypeError, "'int' object is not an instance of 'dict'"),
    ({"group_column": "nope", "group_totals": {1: []}}, TypeError, None),
    # group column decoding comes before column coding
    ({"group_column": "nope", "schemes": {1: {"flag": {1: 1.0}}}}, ValueError, "Group column 'nope' not found"),
    ({"group_column": "flag", "schemes": {1: {"missing": {"x": 1.0}}}}, ValueError, "Unsupported group column type: Boolean"),
]


@pytest.mark.parametrize("arguments, error, message", ORDER)
def test_order_of_failures(arguments, error, message):
    call = {"group_column": "g", "schemes": {}}
    call.update(arguments)
    with pytest.raises(error) as excinfo:
        quelm.rim_rake_by_scheme(table_of(ROWS), **call)
    assert type(excinfo.value) is error
    if message is not None:
        assert str(excinfo.value) == message


@pytest.mark.parametrize(
    "arguments, message",
    [
        ({"group_column": 1}, "argument 'group_column': 'int' object is not an instance of 'str'"),
        ({"group_column": None}, "argument 'group_column': 'None' is not an instance of 'str'"),
        ({"schemes": [(1, S_REGION)]}, "argument 'schemes': 'list' object is not an instance of 'dict'"),
        ({"schemes": None}, "argument 'schemes': 'None' is not an instance of 'dict'"),
        ({"default_scheme": [("region", {})]}, "argument 'default_scheme': 'list' object is not an instance of 'dict'"),
        ({"group_totals": [(1, 0.5)]}, "argument 'group_totals': 'list' object is not an instance of 'dict'"),
        ({"weight_column": None}, "argument 'weight_column': 'None' is not an instance of 'str'"),
        ({"drop_nulls": 0}, "argument 'drop_nulls': 'int' object is not an instance of 'bool'"),
        ({"total": "x"}, "argument 'total': "),
        ({"group_totals": {1: 0.5}, "total": []}, "argument 'total': "),
    ],
)
def test_argument_errors(arguments, message):
    call = {"group_column": "g", "schemes": {}}
    call.update(arguments)
    with pytest.raises(TypeError) as excinfo:
        quelm.rim_rake_by_scheme(table_of(ROWS), **call)
    if message.endswith(": "):
        assert str(excinfo.value).startswith(message)
    else:
        assert str(excinfo.value) == message


def test_binding_errors():
    with pytest.raises(TypeError) as excinfo:
        quelm.rim_rake_by_scheme(table_of(ROWS), "g")
    assert str(excinfo.value) == "rim_rake_by_scheme() missing 1 required positional argument: 'schemes'"
    with pytest.raises(TypeError) as excinfo:
        quelm.rim_rake_by_scheme(table_of(ROWS), "g", {}, *([None] * 10), True, None)
    assert str(excinfo.value) == "rim_rake_by_scheme() takes from 3 to 13 positional arguments but 15 were given"


def test_defaults_and_positional_arguments():
    table = table_of(ROWS)
    by_keyword, kw_results = quelm.rim_rake_by_scheme(
        table, "g", SCHEMES, default_scheme=S_REGION, weight_column="w", max_iterations=20,
        convergence_threshold=0.001, min_cap=0.5, max_cap=2.0, drop_nulls=True,
        group_totals={1: 0.5}, total=10.0, cap_correction=False,
    )
    by_position, pos_results = quelm.rim_rake_by_scheme(
        table, "g", SCHEMES, S_REGION, "w", 20, 0.001, 0.5, 2.0, True, {1: 0.5}, 10.0, False
    )
    assert pa.table(by_keyword).equals(pa.table(by_position))
    assert pa.table(by_keyword).column_names[-1] == "w"
    assert [fields(r) for r in kw_results.values()] == [fields(r) for r in pos_results.values()]


class Mutating:
    """A key whose integer conversion changes the dict that holds it."""

    def __init__(self, target, action):
        self.target, self.action = target, action

    def __hash__(self):
        return 12345

    def __eq__(self, other):
        return self is other

    def __index__(self):
        self.action(self, self.target)
        return 1


def grow(key, d):
    d["extra"] = d[key]


def replace(key, d):
    value = d.pop(key)
    d["replacement"] = value


@pytest.mark.parametrize(
    "action, message",
    [(grow, "dictionary changed size during iteration"), (replace, "dictionary keys changed during iteration")],
)
@pytest.mark.parametrize("where", ["schemes", "group_totals"])
def test_dict_changed_during_iteration(where, action, message):
    d = {}
    key = Mutating(d, action)
    d[key] = S_REGION if where == "schemes" else 0.5
    d[2] = S_BOTH if where == "schemes" else 0.5
    arguments = {"schemes": d} if where == "schemes" else {"schemes": {}, "group_totals": d}
    with pytest.raises(quelm.InternalError) as excinfo:
        quelm.rim_rake_by_scheme(table_of(ROWS), "g", **arguments)
    assert excinfo.value.args == (message,)
    assert not issubclass(quelm.InternalError, Exception)
