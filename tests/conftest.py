"""Small helpers shared by the test modules."""

import math

import pyarrow as pa
import pytest

import quelm

INT64_MIN = -(2**63)
INT64_MAX = 2**63 - 1


def weights_of(out, name=None):
    """The weight column of a result table as a list of floats (the last column
    unless a name is given)."""
    table = pa.table(out)
    if name is None:
        return table.column(table.num_columns - 1).to_pylist()
    return table.column(name).to_pylist()


def blocks(*counts, arrow_type=pa.int32()):
    """An integer column holding `counts[k]` rows of the code k, in code order."""
    values = [code for code, count in enumerate(counts) for _ in range(count)]
    return pa.array(values, arrow_type)


def message_of(call, *args):
    """The text of the exception that call(*args) raises (the interpreter's own wording)."""
    try:
        call(*args)
    except Exception as exc:
        return str(exc)
    raise AssertionError(f"{call!r} raised nothing")


def same_float(a, b):
    """Equality of floats that also treats two NaNs as equal."""
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b):
        return True
    return a == b


def result_fields(result):
    """The stored diagnostics of a RakeResult as a tuple."""
    return (
        result.n_valid,
        result.iterations,
        result.converged,
        result.stalled,
        result.max_target_gap,
        result.efficiency,
        result.weight_min,
        result.weight_max,
    )


@pytest.fixture
def half_table():
    """100 rows: 50 with code 0 and 50 with code 1 in column "a"."""
    return pa.table({"a": blocks(50, 50)})


def passthrough(data, **kwargs):
    """rim_rake with no target columns: the input comes back with weights of 1.0."""
    out, _ = quelm.rim_rake(data, [], {}, **kwargs)
    return out


def body(out):
    """The output table without its weight column."""
    table = pa.table(out)
    return table.remove_column(table.num_columns - 1)


class Index:
    """An object that converts to an integer only through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Floaty:
    """An object that converts to a float only through __float__."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value
