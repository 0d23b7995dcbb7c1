import importlib.util
import inspect
import logging

import pytest

import quorvane as qv

# The names and signatures themselves are checked against the stub in test_docs.py.
CLASSES = [n for n in qv.__all__ if isinstance(getattr(qv, n), type)]
FUNCTIONS = [n for n in qv.__all__ if n not in CLASSES]


def test_all_lists_the_classes_before_the_functions():
    assert type(qv.__all__) is list
    assert CLASSES and FUNCTIONS
    assert qv.__all__ == CLASSES + FUNCTIONS
    assert len(set(qv.__all__)) == len(qv.__all__)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_every_function_is_bound_to_the_module_with_a_text_signature(name):
    fn = getattr(qv, name)
    assert fn.__name__ == fn.__qualname__ == name
    assert fn.__self__ is qv and fn.__module__ == "quorvane"
    assert fn.__text_signature__ is not None
    inspect.signature(fn)


def test_every_added_name_is_a_module_attribute():
    for name in qv.__all__:
        assert getattr(qv, name) is not None


def test_classes_have_no_module_of_their_own():
    for name in CLASSES:
        if hasattr(qv, name):
            assert getattr(qv, name).__module__ == "builtins"


def test_second_module_execution_fails_with_base_exception():
    # One logging bridge per process: executing the module a second time for a new
    # module object must fail the import, not install a second bridge.
    spec = importlib.util.find_spec("quorvane")
    module = importlib.util.module_from_spec(spec)
    with pytest.raises(BaseException) as excinfo:
        spec.loader.exec_module(module)
    assert not isinstance(excinfo.value, Exception)


def test_functions_take_keyword_arguments():
    assert qv.make_rational_constant_node(denominator=2, numerator=1).real_constant == 0.5


class _Collect(logging.Handler):
    def __init__(self):
        super().__init__(level=1)
        self.records = []

    def emit(self, record):
        self.records.append(record)


def test_search_records_reach_the_logger_named_after_their_target():
    logger = logging.getLogger("quorvane_base.search")
    handler = _Collect()
    logger.addHandler(handler)
    try:
        goal = [qv.make_bool_constant_node(True)]
        space = qv.SearchSpace([], {}, [], None, None, None, initial_state=[], goal=goal)
        assert qv.bfs_search(space) == ([], {"expanded_states": "1", "goal_depth": "0"})
    finally:
        logger.removeHandler(handler)
    infos = [r for r in handler.records if r.levelno == logging.INFO]
    assert infos and all(r.name == "quorvane_base.search" for r in infos)
    assert [r.getMessage() for r in infos] == [
        "bfs: timeout=None early_termination=false",
        "bfs: goal found \u2014 expanded=1 depth=0",
    ]
    # The bridge drops Trace before it reaches Python, whatever the logger's level.
    assert all(r.levelno >= logging.DEBUG for r in handler.records)
