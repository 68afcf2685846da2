"""vantrel.polyrun as Python sees it: namespace, classes, signatures, argument errors, loading."""

import inspect
import pickle
import sys

import pytest
from twins import class_names

from vantrel import polyrun
from vantrel.polyrun import MultiProcessNoRep, MultiProcessPool


def added_by_pool_package():
    import importlib

    from vantrel import _pool

    return [
        n for m in _pool._MODULES for n in importlib.import_module(f"vantrel._pool.{m}").METHODS
    ]


# Plain Python twins of the two classes: introspection must not tell them apart.
class PyPool:
    def __init__(self, N, name_pref="MultiProcessingPool"): ...
    def init_process(self): ...
    def kill_all(self): ...
    def clear_output(self): ...
    def map(self, args, block=True): ...


class PyNoRep:
    builtin = None

    @staticmethod
    def set(builtin): ...

    def init_process(n): ...


def test_module_namespace():
    public = [k for k in vars(polyrun) if not (k.startswith("__") and k.endswith("__"))]
    assert public == ["cs", "reduce", "MultiProcessPool", "MultiProcessNoRep"]
    assert polyrun.cs is sys.modules["vantrel.monorun"]
    assert polyrun.__doc__ is None


@pytest.mark.parametrize("cls, twin", [(MultiProcessPool, PyPool), (MultiProcessNoRep, PyNoRep)])
def test_class_namespace_matches_plain_class(cls, twin):
    # The pool's own methods first, in their order; then those vantrel._pool adds.
    ours, theirs = class_names(cls), class_names(twin)
    assert ours[: len(theirs)] == theirs
    assert ours[len(theirs) :] == (added_by_pool_package() if cls is MultiProcessPool else [])
    assert (cls.__bases__, type(cls), cls.__module__) == ((object,), type, "vantrel.polyrun")
    assert cls.__qualname__ == cls.__name__ and cls.__doc__ is None
    for name, attr in vars(twin).items():
        if name == "__init__" or not name.startswith("__"):
            ours = vars(cls)[name]
            assert isinstance(ours, staticmethod) == isinstance(attr, staticmethod), name
            assert callable(ours) == callable(attr), name
    assert MultiProcessNoRep.builtin is None
    assert MultiProcessNoRep.set is MultiProcessNoRep().set
    # init_process is an ordinary function: read through an instance it binds to it.
    assert MultiProcessNoRep().init_process.__func__ is MultiProcessNoRep.init_process
    pool = MultiProcessPool.__new__(MultiProcessPool)
    assert (pool.map.__self__, pool.map.__func__) == (pool, MultiProcessPool.map)


FUNCTIONS = [
    (polyrun.reduce, lambda red: None, "reduce"),
    *(
        (getattr(MultiProcessPool, n), getattr(PyPool, n), f"MultiProcessPool.{n}")
        for n in ("__init__", "init_process", "kill_all", "clear_output", "map")
    ),
    (MultiProcessNoRep.set, PyNoRep.set, "MultiProcessNoRep.set"),
    (MultiProcessNoRep.init_process, PyNoRep.init_process, "MultiProcessNoRep.init_process"),
]


@pytest.mark.parametrize("fn, twin, qualname", FUNCTIONS, ids=[q for *_, q in FUNCTIONS])
def test_function_introspection(fn, twin, qualname):
    assert inspect.signature(fn) == inspect.signature(twin)
    assert fn.__defaults__ == twin.__defaults__
    assert (fn.__qualname__, fn.__name__) == (qualname, qualname.rpartition(".")[2])
    assert fn.__module__ == "vantrel.polyrun" and fn.__doc__ is None
    # By reference, as multiprocessing and pickle need.
    assert pickle.loads(pickle.dumps(fn)) is fn


LOAD_WITHOUT_WORKER_MODULE = """
import sys

class Blocker:
    def find_spec(self, name, path=None, target=None):
        if name == "vantrel.monorun":
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)

sys.meta_path.insert(0, Blocker())
try:
    import vantrel.polyrun
except ModuleNotFoundError as e:
    print("refused", e.name)
assert "vantrel.polyrun" not in sys.modules
sys.meta_path.pop(0)

import vantrel.polyrun
assert vantrel.polyrun.cs is sys.modules["vantrel.monorun"]
print("loaded", vantrel.polyrun.MultiProcessPool.__qualname__)
"""


def test_load_needs_worker_module_and_can_be_retried(run_python):
    run = run_python(LOAD_WITHOUT_WORKER_MODULE)
    assert run.returncode == 0, run.stderr
    assert run.stdout == "refused vantrel.monorun\nloaded MultiProcessPool\n"
