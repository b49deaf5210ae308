import inspect
import weakref

import pyarrow as pa
import pytest

import quelm
import quelm._quelm_engine as engine

FUNCTION_PARAMETERS = {
    "rim_rake": [
        ("data", inspect.Parameter.empty),
        ("target_columns", inspect.Parameter.empty),
        ("targets", inspect.Parameter.empty),
        ("weight_column", "weight"),
        ("max_iterations", 1000),
        ("convergence_threshold", 0.01),
        ("min_cap", None),
        ("max_cap", None),
        ("drop_nulls", True),
        ("total", None),
        ("cap_correction", True),
    ],
    "rim_rake_grouped": [
        ("data", inspect.Parameter.empty),
        ("target_columns", inspect.Parameter.empty),
        ("targets", inspect.Parameter.empty),
        ("group_columns", inspect.Parameter.empty),
        ("weight_column", "weight"),
        ("max_iterations", 1000),
        ("convergence_threshold", 0.01),
        ("min_cap", None),
        ("max_cap", None),
        ("drop_nulls", True),
        ("total", None),
        ("cap_correction", True),
    ],
    "rim_rake_by_scheme": [
        ("data", inspect.Parameter.empty),
        ("group_column", inspect.Parameter.empty),
        ("schemes", inspect.Parameter.empty),
        ("default_scheme", None),
        ("weight_column", "weight"),
        ("max_iterations", 1000),
        ("convergence_threshold", 0.01),
        ("min_cap", None),
        ("max_cap", None),
        ("drop_nulls", True),
        ("group_totals", None),
        ("total", None),
        ("cap_correction", True),
    ],
}


@pytest.fixture(scope="module")
def outcome():
    table = pa.table({"a": pa.array([0, 0, 1, 1], pa.int32())})
    return quelm.rim_rake(table, ["a"], {"a": {0: 0.25, 1: 0.75}})


def test_module_publishes_names_in_order():
    assert engine.__all__ == [
        "RakeResult",
        "_ArrowData",
        "rim_rake",
        "rim_rake_grouped",
        "rim_rake_by_scheme",
    ]
    assert type(engine.__all__) is list
    for name in engine.__all__:
        assert getattr(quelm, name) is getattr(engine, name)


def test_module_doc_is_empty_text():
    assert engine.__doc__ == ""
    assert engine.__name__ == "quelm._quelm_engine"


@pytest.mark.parametrize("name", sorted(FUNCTION_PARAMETERS))
def test_function_signature(name):
    function = getattr(engine, name)
    assert function.__name__ == name
    assert function.__doc__ is None
    assert function.__self__ is engine
    assert function.__module__ == "quelm._quelm_engine"
    parameters = inspect.signature(function).parameters
    assert [(p.name, p.default) for p in parameters.values()] == FUNCTION_PARAMETERS[name]
    assert {p.kind for p in parameters.values()} == {inspect.Parameter.POSITIONAL_OR_KEYWORD}


@pytest.mark.parametrize(
    "cls, method, text_signature",
    [
        (engine.RakeResult, "summary", "($self)"),
        (engine._ArrowData, "__arrow_c_stream__", "($self, requested_schema=None)"),
    ],
)
def test_method_text_signatures(cls, method, text_signature):
    descriptor = getattr(cls, method)
    assert descriptor.__text_signature__ == text_signature
    assert descriptor.__doc__ is None


def test_class_docs():
    assert engine.RakeResult.__doc__ is None
    assert (
        engine._ArrowData.__doc__
        == "Wraps an Arrow RecordBatch and exports it via the Arrow PyCapsule Interface."
    )


@pytest.mark.parametrize("name", ["RakeResult", "_ArrowData"])
def test_class_names(name):
    cls = getattr(engine, name)
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == name
    assert cls.__name__ == name
    assert cls.__bases__ == (object,)


@pytest.mark.parametrize("cls", [engine.RakeResult, engine._ArrowData])
def test_class_cannot_be_instantiated(cls):
    with pytest.raises(TypeError):
        cls()


@pytest.mark.parametrize("cls", [engine.RakeResult, engine._ArrowData])
def test_class_cannot_be_subclassed(cls):
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})


@pytest.mark.parametrize("cls", [engine.RakeResult, engine._ArrowData])
def test_class_attributes_cannot_be_set(cls):
    with pytest.raises(TypeError):
        cls.extra = 1
    assert not hasattr(cls, "extra")


@pytest.mark.parametrize("index", [0, 1])
def test_instances_have_no_dict_and_no_weakref(outcome, index):
    instance = outcome[index]
    assert type(instance) is (engine._ArrowData, engine.RakeResult)[index]
    assert type(instance).__module__ == "builtins"
    assert not hasattr(instance, "__dict__")
    with pytest.raises(AttributeError):
        instance.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(instance)


def test_internal_error_class():
    assert quelm.InternalError.__bases__ == (BaseException,)
    assert not issubclass(quelm.InternalError, Exception)
