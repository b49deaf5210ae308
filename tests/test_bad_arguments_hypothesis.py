"""Random arguments of every kind, including objects whose conversion hooks raise or change
the dict being read: the three functions raise only the documented exceptions (or the
exception a hook raised itself), never crash, and otherwise return a well-formed result."""

from __future__ import annotations

import numpy as np
import pyarrow as pa
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import quelm

TABLE = pa.table({
    "a": pa.array([0, 1, 0, 1, None], pa.int32()),
    "s": pa.array(["x", "y", "x", "y", "x"]),
    "g": pa.array(["p", "q", "p", None, "q"]),
})

DICT_MESSAGES = {"dictionary changed size during iteration", "dictionary keys changed during iteration"}


class HookError(Exception):
    """Raised by a conversion hook."""


class HookInterrupt(BaseException):
    """Raised by a conversion hook, outside the Exception hierarchy."""


class Hook:
    """A key or value whose __index__ / __float__ does `action`: return a value, raise,
    return something of the wrong type, or change the dict that holds it (`container`, set
    once the dict is built) before returning. Once `hashable` is off, its __hash__ and
    __eq__ raise."""

    def __init__(self, action, value):
        self.action = action
        self.value = value
        self.container = None
        self.hashable = True

    def _act(self):
        action = self.action
        if action == "raise":
            raise HookError("hook failed")
        if action == "interrupt":
            raise HookInterrupt("hook interrupted")
        if action == "wrong type":
            return "not a number"
        d = self.container
        if d is not None:
            if action == "grow":
                d[object()] = 0.5
            elif action == "shrink" and d:
                d.pop(next(iter(d)))
            elif action == "swap" and d:
                d[object()] = d.pop(next(iter(d)))
            elif action == "clear":
                d.clear()
            elif action == "overwrite" and d:
                d[next(iter(d))] = 0.25  # same keys, same size: allowed
        return self.value

    def __index__(self):
        result = self._act()
        return result  # a str from __index__ is the interpreter's TypeError

    def __float__(self):
        result = self._act()
        return float(result) if isinstance(result, int) else result

    def __hash__(self):
        if not self.hashable:
            raise HookError("hash after construction")
        return id(self) >> 4

    def __eq__(self, other):
        if not self.hashable:
            raise HookError("eq after construction")
        return self is other


hooks = st.builds(Hook, st.sampled_from(["value", "raise", "interrupt", "wrong type", "grow", "shrink", "swap",
                                         "clear", "overwrite"]), st.integers(0, 2))


def mostly(good, bad):
    """`good` three times in four, else `bad`: one bad part per call is what reaches the
    deeper conversions."""
    return st.integers(0, 3).flatmap(lambda i: bad if i == 0 else good)


texts = st.one_of(st.sampled_from(["a", "s", "g", "x", "y", "p", "q", "__null__", "", "\ud800", "zz"]), st.text(max_size=4))
good_keys = st.one_of(st.sampled_from([0, 1, "x", "y", "p", "q", 0.0, 1.9, True]), hooks)
bad_keys = st.one_of(
    texts, st.integers(), st.sampled_from([2**63, -(2**63) - 1, 2**64, 10**30]),
    st.floats(), st.none(), st.binary(max_size=2), st.tuples(st.integers()), hooks,
    st.sampled_from([np.int8(1), np.float32(0.5), np.bool_(True)]),
)
keys = mostly(good_keys, bad_keys)
shares = mostly(
    st.one_of(st.floats(0, 1), st.integers(0, 100), hooks),
    st.one_of(st.floats(), st.sampled_from([2**2000, "half", None, b"1", [0.5], np.float64(0.5), np.int64(30)]), hooks),
)


def _dicts(key_strategy, value_strategy, max_size=4):
    return st.lists(st.tuples(key_strategy, value_strategy), max_size=max_size).map(_build)


def _build(pairs):
    d = {}
    for k, v in pairs:
        try:
            d[k] = v
        except TypeError:  # unhashable key
            pass
    for item in [*d.keys(), *d.values()]:
        if isinstance(item, Hook):
            item.container = d
    return d


inner = _dicts(keys, shares)
targets = mostly(
    _dicts(st.sampled_from(["a", "s"]), inner),
    st.one_of(_dicts(st.one_of(texts, hooks, st.integers(0, 2), st.none()),
                     st.one_of(inner, st.none(), st.lists(st.floats(), max_size=2), texts)),
              st.sampled_from([[], None, "a", 5])))
scheme_keys = mostly(st.one_of(st.sampled_from(["p", "q", "__null__"]), hooks),
                     st.one_of(texts, st.integers(-2, 2), st.floats(), st.booleans(), st.none(), hooks, st.tuples()))
schemes = mostly(_dicts(scheme_keys, targets), st.sampled_from([None, [], "p"]))
group_totals = mostly(st.one_of(st.none(), _dicts(scheme_keys, shares)), st.sampled_from([[], "p", 1.0]))


class BrokenSequence(list):
    def __iter__(self):
        raise HookError("iteration failed")


name_lists = mostly(
    st.lists(st.sampled_from(["a", "s", "g"]), max_size=3, unique=True),
    st.one_of(
        st.lists(st.sampled_from(["a", "s", "zz"]), max_size=2).map(tuple),
        st.lists(st.one_of(texts, st.integers(), st.none()), max_size=2),
        st.sampled_from(["a", None, 3, {"a": 1}, iter(["a"]), BrokenSequence(["a"])])),
)


def option(good, bad):
    return mostly(good, bad)


options = st.fixed_dictionaries({}, optional={
    "weight_column": option(st.just("w"), st.one_of(texts, st.none(), st.integers())),
    "max_iterations": option(st.integers(0, 30), st.one_of(st.sampled_from([-1, 2**64, 2.0, None, "3", True]), hooks)),
    "convergence_threshold": option(st.floats(0, 0.1), st.one_of(st.floats(), st.sampled_from(["0.1", None, 2**2000]),
                                                                 hooks)),
    "min_cap": option(st.one_of(st.none(), st.floats(0, 1)), st.one_of(st.floats(), st.sampled_from(["x", 2**2000]),
                                                                       hooks)),
    "max_cap": option(st.one_of(st.none(), st.floats(1, 3)), st.one_of(st.floats(), st.just("x"), hooks)),
    "drop_nulls": option(st.booleans(), st.sampled_from([1, 0, None, np.bool_(False), "yes"])),
    "total": option(st.one_of(st.none(), st.floats(0, 100)), st.one_of(st.floats(), st.just("10"), hooks)),
    "cap_correction": option(st.booleans(), st.sampled_from([1, None, np.bool_(True)])),
})

calls = st.one_of(
    st.tuples(st.just("rim_rake"), st.fixed_dictionaries({"target_columns": name_lists, "targets": targets}), options),
    st.tuples(st.just("rim_rake_grouped"), st.fixed_dictionaries(
        {"target_columns": name_lists, "targets": targets, "group_columns": name_lists}), options),
    st.tuples(st.just("rim_rake_by_scheme"), st.fixed_dictionaries(
        {"group_column": mostly(st.just("g"), st.one_of(texts, st.none())), "schemes": schemes},
        optional={"default_scheme": st.one_of(targets, st.none()), "group_totals": group_totals}), options),
)


def _all_hooks(obj, seen=None):
    seen = set() if seen is None else seen
    if id(obj) in seen:
        return
    seen.add(id(obj))
    if isinstance(obj, Hook):
        yield obj
    elif isinstance(obj, dict):
        for k, v in list(obj.items()):
            yield from _all_hooks(k, seen)
            yield from _all_hooks(v, seen)


def _check_exception(exc):
    if isinstance(exc, quelm.InternalError):
        assert exc.args in [(m,) for m in DICT_MESSAGES], exc.args
    elif isinstance(exc, (HookError, HookInterrupt)):
        assert str(exc) in ("hook failed", "hook interrupted", "iteration failed",
                            "hash after construction", "eq after construction")
    elif isinstance(exc, (TypeError, OverflowError, ValueError)):  # UnicodeEncodeError is a ValueError
        assert str(exc), type(exc)
    else:
        raise AssertionError(f"undocumented exception {exc!r}") from exc


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(calls, st.booleans())
def test_only_documented_exceptions(call, lock_hashes):
    name, arguments, opts = call
    kwargs = {**arguments, **opts}
    if lock_hashes:
        # from now on hashing or comparing a hook raises: the calls never need to
        for value in kwargs.values():
            for hook in _all_hooks(value):
                hook.hashable = False
    function = getattr(quelm, name)
    try:
        out, results = function(TABLE, **kwargs)
    except BaseException as exc:
        event(f"{name}: {type(exc).__name__}")
        _check_exception(exc)
        return
    event(f"{name}: returned")
    table = pa.table(out)
    assert table.num_rows == TABLE.num_rows
    assert table.column_names[:-1] == TABLE.column_names
    assert table.schema.field(table.num_columns - 1).type == pa.float64()
    if name == "rim_rake":
        assert isinstance(results, quelm.RakeResult)
    else:
        assert isinstance(results, dict)
        assert all(isinstance(k, str) and isinstance(r, quelm.RakeResult) for k, r in results.items())
        assert sum(r.n_valid for r in results.values()) <= TABLE.num_rows
