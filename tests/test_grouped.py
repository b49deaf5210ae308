"""rim_rake_grouped: every group raked on its own against the same targets.

The oracle: a group's weights and diagnostics equal, to the bit, those of rim_rake on a
table that holds only that group's rows.
"""

import random

import polars as pl
import pyarrow as pa
import pytest

import quelm
from conftest import result_fields

REGIONS = ["north", "south", "east"]
TARGETS = {"region": {"north": 0.5, "south": 0.3, "east": 0.2}, "age": {0: 0.25, 1: 0.35, 2: 0.4}}


fields = result_fields


NEUTRAL = (0, 0, True, False, 0.0, 100.0, 1.0, 1.0)


def weights(out, name="weight"):
    return pa.table(out).column(name).to_pylist()


def survey_rows(seed, groups, null_rate=0.1):
    """Rows as dicts. Every group, and every wave within it, holds every region, so any
    group alone can be raked against TARGETS by rim_rake."""
    rng = random.Random(seed)
    rows = []
    for g in groups:
        for i in range(rng.randint(6, 40)):
            first = i < 6
            rows.append(
                {
                    "g": g,
                    "region": REGIONS[i % 3] if first else (None if rng.random() < null_rate else rng.choice(REGIONS)),
                    "age": None if rng.random() < null_rate else rng.choice([0, 1, 1, 2, 3]),
                    "wave": 1 + i // 3 if first else rng.choice([1, 2]),
                }
            )
    rng.shuffle(rows)
    return rows


SCHEMA = pa.schema([("g", pa.utf8()), ("region", pa.utf8()), ("age", pa.int32()), ("wave", pa.int64())])


def table_of(rows):
    return pa.Table.from_pylist(rows, schema=SCHEMA)


def key_of(row, group_columns):
    return "||".join("__null__" if row[c] is None else str(row[c]) for c in group_columns)


@pytest.mark.parametrize(
    "options",
    [
        {},
        {"min_cap": 0.5, "max_cap": 1.6},
        {"min_cap": 0.7, "max_cap": 1.4, "cap_correction": False, "max_iterations": 7},
        {"drop_nulls": False, "convergence_threshold": 1e-9},
        {"max_iterations": 0},
    ],
)
@pytest.mark.parametrize("group_columns", [["g"], ["g", "wave"]])
def test_each_group_equals_rim_rake_on_its_rows(options, group_columns):
    rows = survey_rows(1, ["a", "b", None, "c", "d"])
    if options.get("drop_nulls") is False:
        for row in rows:
            row["age"] = 0 if row["age"] is None else row["age"]
    out, results = quelm.rim_rake_grouped(table_of(rows), ["region", "age"], TARGETS, group_columns, **options)
    got = weights(out)

    expected_keys = list(dict.fromkeys(key_of(row, group_columns) for row in rows))
    assert list(results) == expected_keys
    for key, result in results.items():
        members = [i for i, row in enumerate(rows) if key_of(row, group_columns) == key]
        alone, alone_result = quelm.rim_rake(table_of([rows[i] for i in members]), ["region", "age"], TARGETS, **options)
        assert [got[i] for i in members] == weights(alone), key
        assert fields(result) == fields(alone_result), key


@pytest.mark.parametrize("name", ["w", "g"])
def test_output_table_and_weight_column_name(name):
    rows = survey_rows(2, ["a", "b"])
    table = table_of(rows)
    out, _ = quelm.rim_rake_grouped(table, ["region", "age"], TARGETS, ["g"], weight_column=name)
    result = pa.table(out)
    assert result.column_names == ["g", "region", "age", "wave", name]
    assert result.select([0, 1, 2, 3]).equals(table)
    assert result.schema.field(4).type == pa.float64()
    assert result.column(4).to_pylist() != [1.0] * len(rows)


def test_text_category_missing_from_a_group_is_inactive_there():
    rows = [{"g": "a", "region": r, "age": 0, "wave": 1} for r in ["north"] * 3 + ["south"] * 5 + ["east"] * 2]
    rows += [{"g": "b", "region": r, "age": 0, "wave": 1} for r in ["north"] * 6 + ["south"] * 2]
    targets = {"region": {"north": 0.5, "south": 0.3, "east": 0.2}}
    out, results = quelm.rim_rake_grouped(table_of(rows), ["region"], targets, ["g"])
    alone, alone_result = quelm.rim_rake(table_of(rows[10:]), ["region"], {"region": {"north": 0.5, "south": 0.3}})
    assert weights(out)[10:] == weights(alone)
    assert fields(results["b"]) == fields(alone_result)


def test_group_with_only_invalid_rows():
    rows = survey_rows(3, ["a", "c"])
    rows[5:5] = [{"g": "b", "region": "north", "age": None, "wave": 1}] * 4
    out, results = quelm.rim_rake_grouped(table_of(rows), ["region", "age"], TARGETS, ["g"])
    assert fields(results["b"]) == NEUTRAL
    assert weights(out)[5:9] == [1.0] * 4
    assert results["a"].n_valid > 0 and results["c"].n_valid > 0


def test_invalid_rows_keep_one():
    rows = survey_rows(4, ["a", "b"], null_rate=0.3)
    out, results = quelm.rim_rake_grouped(table_of(rows), ["region", "age"], TARGETS, ["g"])
    got = weights(out)
    invalid = [i for i, row in enumerate(rows) if row["region"] is None or row["age"] is None]
    assert invalid
    assert [got[i] for i in invalid] == [1.0] * len(invalid)
    assert sum(r.n_valid for r in results.values()) == len(rows) - len(invalid)


@pytest.mark.parametrize(
    "producer",
    [
        pl.from_arrow,
        lambda t: t.to_pandas(),
        lambda t: pa.RecordBatchReader.from_batches(t.schema, t.to_batches(max_chunksize=7)),
    ],
    ids=["polars", "pandas", "stream_of_batches"],
)
def test_other_producers_give_the_same_result(producer):
    rows = survey_rows(5, ["a", "b", "c"], null_rate=0.0)
    table = table_of(rows)
    expected_out, expected = quelm.rim_rake_grouped(table, ["region", "age"], TARGETS, ["g", "wave"])
    out, results = quelm.rim_rake_grouped(producer(table), ["region", "age"], TARGETS, ["g", "wave"])
    assert weights(out) == weights(expected_out)
    assert {k: fields(r) for k, r in results.items()} == {k: fields(r) for k, r in expected.items()}
    assert list(results) == list(expected)


def test_two_failing_groups_give_one_error():
    # "wave" holds integers but is not coded, so every group with valid rows fails.
    rows = survey_rows(6, ["a", "b", "c"])
    targets = {"region": TARGETS["region"], "wave": {1: 0.5, 2: 0.5}}
    with pytest.raises(ValueError) as excinfo:
        quelm.rim_rake_grouped(table_of(rows), ["region"], targets, ["g"])
    assert type(excinfo.value) is ValueError
    assert excinfo.value.args == ("Target column 'wave' not found in data",)


def test_integer_targets_for_uncoded_column_pass_without_target_columns():
    rows = survey_rows(7, ["a", "b"])
    out, results = quelm.rim_rake_grouped(table_of(rows), [], {"wave": {1: 0.5, 2: 0.5}}, ["g"])
    assert weights(out) == [1.0] * len(rows)
    for key, result in results.items():
        size = sum(1 for row in rows if row["g"] == key)
        assert fields(result) == (size,) + NEUTRAL[1:]


def scaled(values, total):
    s = -0.0
    for v in values:
        s += v
    factor = total / s
    return [v * factor for v in values]


@pytest.mark.parametrize("total", [1000.0, 3.5, 1e-3])
def test_total_scales_all_rows(total):
    rows = survey_rows(8, ["a", "b", "c"], null_rate=0.2)
    table = table_of(rows)
    base_out, base_results = quelm.rim_rake_grouped(table, ["region", "age"], TARGETS, ["g"])
    out, results = quelm.rim_rake_grouped(table, ["region", "age"], TARGETS, ["g"], total=total)
    base, got = weights(base_out), weights(out)
    assert 1.0 in base
    assert got == scaled(base, total)
    assert sum(got) == pytest.approx(total, rel=1e-12)

    def group_sum(w, key):
        return sum(x for x, row in zip(w, rows) if row["g"] == key)

    assert group_sum(got, "a") / group_sum(got, "b") == pytest.approx(group_sum(base, "a") / group_sum(base, "b"), rel=1e-12)
    assert {k: fields(r) for k, r in results.items()} == {k: fields(r) for k, r in base_results.items()}


def test_total_scales_rows_that_were_not_raked():
    table = pa.table({"g": ["a", "a", "b", "b", "b"], "x": pa.array([None] * 5, pa.int64())})
    out, results = quelm.rim_rake_grouped(table, ["x"], {"x": {0: 1.0}}, ["g"], total=10.0)
    assert weights(out) == [2.0] * 5
    assert [fields(r) for r in results.values()] == [NEUTRAL, NEUTRAL]


@pytest.mark.parametrize("total", [0.0, -1.0, float("nan"), None])
def test_total_not_greater_than_zero_is_ignored(total):
    rows = survey_rows(9, ["a", "b"])
    table = table_of(rows)
    base_out, _ = quelm.rim_rake_grouped(table, ["region", "age"], TARGETS, ["g"])
    out, _ = quelm.rim_rake_grouped(table, ["region", "age"], TARGETS, ["g"], total=total)
    assert weights(out) == weights(base_out)
    assert weights(out) != [1.0] * len(rows)


def test_empty_target_columns_give_neutral_results():
    rows = survey_rows(10, ["a", "b", None])
    out, results = quelm.rim_rake_grouped(table_of(rows), [], {}, ["g"])
    assert weights(out) == [1.0] * len(rows)
    assert list(results) == list(dict.fromkeys(key_of(row, ["g"]) for row in rows))
    for key, result in results.items():
        size = sum(1 for row in rows if key_of(row, ["g"]) == key)
        assert fields(result) == (size,) + NEUTRAL[1:]


def test_empty_group_list_equals_rim_rake():
    rows = survey_rows(11, ["a", "b"])
    out, results = quelm.rim_rake_grouped(table_of(rows), ["region", "age"], TARGETS, [], min_cap=0.6, max_cap=1.5)
    whole, whole_result = quelm.rim_rake(table_of(rows), ["region", "age"], TARGETS, min_cap=0.6, max_cap=1.5)
    assert list(results) == [""]
    assert weights(out) == weights(whole)
    assert fields(results[""]) == fields(whole_result)


def test_null_group_is_raked_like_any_other():
    rows = survey_rows(12, [None, "a"], null_rate=0.0)
    out, results = quelm.rim_rake_grouped(table_of(rows), ["region", "age"], TARGETS, ["g"])
    members = [i for i, row in enumerate(rows) if row["g"] is None]
    alone, alone_result = quelm.rim_rake(table_of([rows[i] for i in members]), ["region", "age"], TARGETS)
    assert [weights(out)[i] for i in members] == weights(alone)
    assert fields(results["__null__"]) == fields(alone_result)
    assert alone_result.iterations > 0


TABLE = pa.table(
    {
        "g": ["a", "b", "a"],
        "region": ["north", "south", "north"],
        "flag": [True, False, True],
        "age": pa.array([0, 1, 0], pa.int32()),
    }
)

ERRORS = [
    # group columns are decoded before any target column is coded
    ({"target_columns": ["missing"], "group_columns": ["nope"]}, "Group column 'nope' not found"),
    ({"target_columns": ["flag"], "group_columns": ["flag"]}, "Unsupported group column type: Boolean"),
    ({"target_columns": ["missing"]}, "Column 'missing' not found in Arrow data"),
    ({"target_columns": ["flag"]}, "Column 'flag' has unsupported type Boolean, expected integer or float"),
    # coding before matching, matching before raking
    (
        {"target_columns": ["region", "missing"], "targets": {"region": {"west": 1.0}}},
        "Column 'missing' not found in Arrow data",
    ),
    (
        {"targets": {"age": {0: 1.0}, "region": {"west": 1.0}}},
        'Target key "west" for column \'region\' is not a category in the data',
    ),
    (
        {"targets": {"age": {0: 1.0}, "region": {3: 1.0}}},
        "Target key 3 for column 'region' is numeric, but that column holds text category codes",
    ),
    (
        {"targets": {"age": {0: 1.0}, "g": {"a": 1.0}}},
        "Target key \"a\" for column 'g' is text, but that column holds numeric category codes",
    ),
    ({"targets": {"age": {0: 1.0}, "region": {"north": 1.0}}}, "Target column 'age' not found in data"),
]


@pytest.mark.parametrize("arguments, message", ERRORS)
def test_errors_and_their_order(arguments, message):
    call = {"target_columns": ["region"], "targets": {"region": {"north": 1.0}}, "group_columns": ["g"]}
    call.update(arguments)
    with pytest.raises(ValueError) as excinfo:
        quelm.rim_rake_grouped(TABLE, **call)
    assert excinfo.value.args == (message,)


def test_targets_are_parsed_before_group_columns_are_decoded():
    with pytest.raises(TypeError) as excinfo:
        quelm.rim_rake_grouped(TABLE, ["region"], {"region": [("north", 1.0)]}, ["nope"])
    assert str(excinfo.value) == "'list' object is not an instance of 'dict'"


def test_empty_table_still_matches_targets():
    empty = TABLE.slice(0, 0)
    with pytest.raises(ValueError) as excinfo:
        quelm.rim_rake_grouped(empty, ["region"], {"region": {"west": 1.0}}, ["g"])
    assert excinfo.value.args == ('Target key "west" for column \'region\' is not a category in the data',)


@pytest.mark.parametrize(
    "arguments, message",
    [
        ({"group_columns": "g"}, "argument 'group_columns': "),
        ({"group_columns": None}, "argument 'group_columns': 'None' is not an instance of 'Sequence'"),
        ({"group_columns": 3}, "argument 'group_columns': 'int' object is not an instance of 'Sequence'"),
        ({"group_columns": ["g", 3]}, "argument 'group_columns': 'int' object is not an instance of 'str'"),
        ({"group_columns": ("g",), "total": "x"}, "argument 'total': "),
        ({"group_columns": ["g"], "drop_nulls": 1}, "argument 'drop_nulls': 'int' object is not an instance of 'bool'"),
    ],
)
def test_argument_errors(arguments, message):
    with pytest.raises(TypeError) as excinfo:
        quelm.rim_rake_grouped(TABLE, ["region"], {"region": {"north": 1.0}}, **arguments)
    if message.endswith(": "):
        assert str(excinfo.value).startswith(message)
    else:
        assert str(excinfo.value) == message


def test_group_columns_accept_any_sequence():
    out_list, res_list = quelm.rim_rake_grouped(TABLE, ["region"], {"region": {"north": 1.0}}, ["g", "age"])
    out_tuple, res_tuple = quelm.rim_rake_grouped(TABLE, ["region"], {"region": {"north": 1.0}}, ("g", "age"))
    assert list(res_list) == list(res_tuple) == ["a||0", "b||1"]
    assert weights(out_list) == weights(out_tuple)


def test_missing_required_argument():
    with pytest.raises(TypeError) as excinfo:
        quelm.rim_rake_grouped(TABLE, ["region"], {})
    assert str(excinfo.value) == "rim_rake_grouped() missing 1 required positional argument: 'group_columns'"


def test_result_dict_is_fresh():
    _, first = quelm.rim_rake_grouped(TABLE, ["region"], {"region": {"north": 1.0}}, ["g"])
    _, second = quelm.rim_rake_grouped(TABLE, ["region"], {"region": {"north": 1.0}}, ["g"])
    assert type(first) is dict
    assert first is not second
    assert all(type(r) is quelm.RakeResult for r in first.values())
    assert [fields(r) for r in first.values()] == [fields(r) for r in second.values()]


@pytest.mark.parametrize("key_type", ["int64", "float64", "utf8", "two columns"])
def test_large_table_partition(key_type):
    # Enough rows that the keys and the partition are built in parallel chunks.
    n = 300_000
    rng = random.Random(7)
    raw = [rng.randrange(60) for _ in range(n)]
    other = [rng.randrange(33) for _ in range(n)]
    region = pa.array([REGIONS[v % 3] if v % 11 else None for v in other])
    age = pa.array([v % 3 for v in other], pa.int32())
    if key_type == "int64":
        keys = pa.array([None if v == 59 else v - 30 for v in raw], pa.int64())
        texts = ["__null__" if v is None else str(v) for v in keys.to_pylist()]
    elif key_type == "float64":
        values = [float("nan") if v == 58 else (-0.0 if v == 0 else v / 4) for v in raw]
        keys = pa.array([None if v == 59 else x for v, x in zip(raw, values)], pa.float64())
        texts = [
            "__null__" if v == 59 else "NaN" if v == 58 else "-0" if v == 0 else repr(v / 4).removesuffix(".0")
            for v in raw
        ]
    else:
        keys = pa.array([f"k{v}" for v in raw])
        texts = [f"k{v}" for v in raw]
    columns = {"g": keys, "region": region, "age": age}
    group_columns = ["g"]
    if key_type == "two columns":
        columns["h"] = pa.array([v % 2 for v in raw], pa.int64())
        group_columns = ["g", "h"]
        texts = [f"{t}||{v % 2}" for t, v in zip(texts, raw)]
    table = pa.table(columns)

    out, results = quelm.rim_rake_grouped(table, ["region", "age"], TARGETS, group_columns)
    assert list(results) == list(dict.fromkeys(texts))
    got = weights(out)
    members = {}
    for i, t in enumerate(texts):
        members.setdefault(t, []).append(i)
    for key in list(results)[:: len(results) // 3]:
        rows = members[key]
        alone, alone_result = quelm.rim_rake(table.take(rows), ["region", "age"], TARGETS)
        assert [got[i] for i in rows] == weights(alone), key
        assert fields(results[key]) == fields(alone_result), key
