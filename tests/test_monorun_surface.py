"""vantrel.monorun as Python code sees it: namespace, introspection, binding, lookup, loading."""

import builtins
import copy
import importlib
import inspect
import pickle
import queue
import re
import sys
import textwrap
import types

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from twins import _HandleContent, class_names

from vantrel import monorun as m

NAMES = ["os", "ctypes", "mmap", "queue", "signal", "traceback", "time", "np", "mp"]
NAMES += ["setproctitle", "clear_queue", "sigint_handler", "_HandleContent", "monorun_main"]
NAMES += ["SingleProcess"]
MAIN_DOC = (
    "\n    This is the main loop of a single process\n    \n    Parametrs : \n"
    "    _______________________\n    qi is the input queue for this main function\n"
    "    while qo is the output queue for this \n  "
)


# Plain Python twins: the same signatures and, on the probes of the binding test
# below, the same steps.
def clear_queue(q):
    while not q.empty():
        q.get()


def sigint_handler(signum, frame):
    m.stop = True


def monorun_main(name, qi, qo):
    m.setproctitle.setproctitle(name)
    while True:
        qi.get(timeout=0.1)
        qo.put([])


class SingleProcess:
    def __init__(self, name=None):
        self.qi = m.mp.Queue()
        self.qo = m.mp.Queue()
        self.proc = m.mp.Process(target=m.monorun_main, args=(name, self.qi, self.qo))
        self.proc.start()

    def blocked_put(self, w):
        self.qi.put(w)
        return self.qo.get()

    def kill(self):
        if self.proc.is_alive():
            self.proc.kill()

    def clear_output(self):
        clear_queue(self.qo)


TWINS = {"clear_queue": clear_queue, "sigint_handler": sigint_handler, "monorun_main": monorun_main}
for _twin in [_HandleContent, SingleProcess]:
    TWINS.update({f"{_twin.__name__}.{k}": v for k, v in vars(_twin).items() if callable(v)})


def ours(qualname):
    owner, _, name = qualname.rpartition(".")
    return getattr(getattr(m, owner), name) if owner else getattr(m, name)


def test_module_namespace():
    # The binding order is checked in a fresh interpreter (test_load): tests that
    # delete and restore a global here move it to the end.
    assert set(NAMES) <= set(vars(m))
    for name in ["os", "ctypes", "mmap", "queue", "signal", "traceback", "time", "setproctitle"]:
        assert getattr(m, name) is sys.modules[name]
    assert m.np is sys.modules["numpy"] and m.mp is sys.modules["multiprocessing"]
    assert m.__name__ == "vantrel.monorun" and m.__doc__ is None
    assert not hasattr(m, "__all__") and not hasattr(m, "stop")


@pytest.mark.parametrize("cls", [m._HandleContent, m.SingleProcess])
def test_classes_are_plain(cls):
    twin = globals()[cls.__name__]
    assert class_names(cls) == class_names(twin)
    assert cls.__bases__ == (object,) and type(cls) is type and cls.__doc__ is None
    assert (cls.__module__, cls.__qualname__) == ("vantrel.monorun", twin.__name__)


@pytest.mark.parametrize("qualname", TWINS)
def test_function_introspection(qualname):
    fn, twin = ours(qualname), TWINS[qualname]
    assert fn.__qualname__ == qualname and fn.__name__ == qualname.rpartition(".")[2]
    assert fn.__module__ == "vantrel.monorun" and fn.__globals__ is vars(m)
    assert fn.__doc__ == (MAIN_DOC if qualname == "monorun_main" else None)
    assert fn.__defaults__ == twin.__defaults__ and fn.__kwdefaults__ == twin.__kwdefaults__
    assert inspect.signature(fn) == inspect.signature(twin)
    assert re.fullmatch(rf"<function {re.escape(qualname)} at 0x[0-9a-f]+>", repr(fn))
    for proto in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(fn, proto)) is fn
    assert copy.deepcopy(fn) is fn


def test_exact_values():
    assert len(m.monorun_main.__doc__) == 191
    assert m.SingleProcess.__init__.__defaults__ == (None,)
    assert m._HandleContent.xprint.__kwdefaults__ == {"end": "\n"}
    assert str(inspect.signature(m._HandleContent.xreturn)) == "(self, **kwds)"


def test_methods_bind_like_python_methods():
    pc, twin = m._HandleContent(), object.__new__(_HandleContent)
    for name in ["__init__", "xprint", "clear", "xreturn"]:
        bound = getattr(pc, name)
        assert type(bound) is types.MethodType and bound.__self__ is pc
        assert bound.__func__ is vars(m._HandleContent)[name] is getattr(m._HandleContent, name)
        assert inspect.signature(bound) == inspect.signature(getattr(twin, name))
    assert inspect.signature(m.SingleProcess) == inspect.signature(SingleProcess)
    assert pickle.loads(pickle.dumps(pc.xreturn)).__func__ is m._HandleContent.xreturn


class Stop(BaseException):
    pass


class Probe:
    """Stands for any argument and logs what a body does with it, so bound values show."""

    def __init__(self, tag, log):
        vars(self).update(tag=tag, log=log, qi=self, qo=self, proc=self, gets=0, text="", kept={})

    def __setattr__(self, name, value):
        self.log.append(("set", self.tag, name))
        object.__setattr__(self, name, value)

    def __str__(self):
        return f"<{self.tag}>"

    def __radd__(self, other):
        return other + self.tag

    def _record(self, value):
        vars(self)["text"] = value

    print_content = property(lambda s: s.log.append(("read", s.tag)) or s.text, _record)
    return_content = property(lambda s: s.log.append(("read", s.tag)) or s.kept, _record)

    def __getattr__(self, method):  # empty, get, put, clear, is_alive, kill, start ...
        def call(*args, **kwargs):
            args = [a.tag if isinstance(a, Probe) else type(a).__name__ for a in args]
            self.log.append((method, self.tag, args, kwargs))
            vars(self)["gets"] += method == "get"
            if self.gets > 1:
                raise Stop
            return [] if method == "get" else method == "is_alive"

        return call


@pytest.fixture
def quiet_module(monkeypatch):
    """Module globals that log instead of acting, so that every function runs harmlessly."""
    log = []
    fake_mp = Probe("mp", log)
    fake_mp.Process = lambda **kw: (
        log.append((list(kw), kw["target"] is m.monorun_main, str(kw["args"][0])))
        or Probe("proc", log)
    )
    monkeypatch.setattr(m, "mp", fake_mp)
    monkeypatch.setattr(m, "setproctitle", Probe("title", log))
    monkeypatch.setattr(m, "signal", types.SimpleNamespace(SIGINT=2, signal=lambda *a: None))
    monkeypatch.setattr(m, "stop", None, raising=False)
    return log


# Our functions accept exactly the calls that plain functions of the same
# signature accept, and do the same with the values bound to each parameter.
@pytest.mark.parametrize("qualname", TWINS)
@settings(
    max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)
@given(data=st.data())
def test_binding_matches_plain_python(quiet_module, qualname, data):
    params = list(inspect.signature(TWINS[qualname]).parameters)
    npos = data.draw(st.integers(0, 5), label="positionals")
    names = st.sampled_from(params + ["zz", "ws", "kwds", "end"])
    keys = data.draw(st.lists(names, unique=True), label="keywords")

    def call(fn):
        log = quiet_module
        log.clear()
        args = [Probe(f"p{i}", log) for i in range(npos)]
        kwargs = {k: Probe(f"k_{k}", log) for k in keys}
        try:
            fn(*args, **kwargs)
        except TypeError:
            return "TypeError"
        except Stop:
            pass
        probes = args + list(kwargs.values())
        kept = [(p.tag, p.text, {k: v.tag for k, v in p.kept.items()}) for p in probes]
        return log[:], kept, m.stop

    assert call(ours(qualname)) == call(TWINS[qualname])


@pytest.mark.parametrize(
    "defaults",
    [
        ("A",),
        ("A", "B", "C"),
    ],
)
def test_replaced_defaults_bind_like_python(monkeypatch, defaults):
    def twin(q):
        return q

    twin.__defaults__ = defaults
    seen = []
    fakes = [types.SimpleNamespace(empty=lambda d=d: seen.append(d) or True) for d in defaults]
    monkeypatch.setattr(m.clear_queue, "__defaults__", tuple(fakes))
    m.clear_queue()
    assert seen == [twin()]


class Used(Exception):
    pass


def used(*args, **kwargs):
    raise Used


def bare_handle(**attrs):
    h = m.SingleProcess.__new__(m.SingleProcess)
    vars(h).update(attrs)
    return h


# Module globals are looked up at each call: first the module, then builtins.
@pytest.mark.parametrize(
    "missing, call, fallback",
    [
        ("mp", lambda: m.SingleProcess(), types.SimpleNamespace(Queue=used)),
        ("monorun_main", lambda: m.SingleProcess("w"), object()),
        ("clear_queue", lambda: bare_handle(qo=queue.Queue()).clear_output(), used),
    ],
)
def test_deleted_module_global_raises_name_error(monkeypatch, missing, call, fallback):
    monkeypatch.setattr(m, "mp", types.SimpleNamespace(Queue=list, Process=used))
    monkeypatch.delattr(m, missing)
    with pytest.raises(NameError, match=rf"^name '{missing}' is not defined$") as info:
        call()
    assert info.value.name == missing
    monkeypatch.setattr(builtins, missing, fallback, raising=False)
    with pytest.raises(Used):
        call()


def test_rebound_module_global_is_used(monkeypatch):
    drained = []
    monkeypatch.setattr(m, "clear_queue", lambda q: drained.append(q) or "ignored")
    qo = queue.Queue()
    assert bare_handle(qo=qo).clear_output() is None and drained == [qo]


def test_reimport_returns_the_same_module():
    first = sys.modules.pop("vantrel.monorun")
    try:
        import vantrel.monorun as again
    finally:
        sys.modules["vantrel.monorun"] = first
    assert again is first and again.SingleProcess is m.SingleProcess
    assert importlib.reload(m) is m  # executing the loaded module again does nothing


# In a fresh interpreter, with the source tree out of the way: a load that fails
# on an import is forgotten, the next import loads everything in order, and no
# second interpreter may load the module.
LOAD = """
    import sys
    try:  # no public interface to a second interpreter before 3.14
        import _xxsubinterpreters as interpreters
    except ImportError:
        import _interpreters as interpreters
    class Blocker:
        def find_spec(self, name, path=None, target=None):
            if name == BLOCKED:
                Blocker.half = sys.modules["vantrel.monorun"]
                raise ModuleNotFoundError(f"No module named {name!r}", name=name)
    sys.meta_path.insert(0, Blocker())
    try:
        import vantrel.monorun
    except ModuleNotFoundError as e:
        print(e.name, "vantrel.monorun" in sys.modules)
    print([k for k in vars(Blocker.half) if not k.startswith("__")])
    del sys.meta_path[0]
    import vantrel.monorun as m
    print(m is not Blocker.half, [k for k in vars(m) if not k.startswith("__")])
    for isolated in (False, True):  # sharing the main lock, then with a lock of its own
        if hasattr(interpreters, "new_config"):  # 3.13 on: failures are returned
            sub = interpreters.create(interpreters.new_config("isolated" if isolated else "legacy"))
            failure = interpreters.run_string(sub, "import vantrel.monorun")
            print(f"<class '{failure.type.__name__}'>: {failure.msg}")
        else:
            sub = interpreters.create(isolated=isolated)
            try:
                interpreters.run_string(sub, "import vantrel.monorun")
            except interpreters.RunFailedError as e:
                print(e)
"""


@pytest.mark.parametrize("blocked", ["numpy", "setproctitle"])
def test_load(run_python, blocked):
    done = run_python(f"BLOCKED = {blocked!r}\n" + textwrap.dedent(LOAD))
    assert done.returncode == 0, done.stderr
    bound_before = NAMES[: NAMES.index("np" if blocked == "numpy" else "setproctitle")]
    assert done.stdout.splitlines() == [
        f"{blocked} False",
        str(bound_before),
        f"True {NAMES}",
        "<class 'ImportError'>: Interpreter change detected - this module can only be loaded "
        "into one interpreter per process.",
        # From 3.12 the module says it supports no sub-interpreter, and an
        # isolated one refuses it before it runs.
        "<class 'ImportError'>: module vantrel.monorun does not support loading in subinterpreters"
        if sys.version_info >= (3, 12)
        else "<class 'ImportError'>: Interpreter change detected - this module can only be "
        "loaded into one interpreter per process.",
    ]
