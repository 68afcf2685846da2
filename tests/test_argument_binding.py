"""Calls that do not fit a signature: the exact TypeError of every function of
both modules, one table keyed by the shape of the signature."""

import inspect
import re
import types

import pytest

from vantrel import monorun as m
from vantrel import polyrun

# A call's arguments, written as in the call itself. `S` first means "called
# through an instance" (for `__init__`: the class is called); without it the
# function is called as read from its module or class, self passed or not by
# hand. Keywords name the parameters of the shape's key; each function's own
# name in that position is used.
S = object()

SHAPES = {
    "(q)": (
        "clear_queue reduce MultiProcessNoRep.set",
        [
            ("", "takes exactly 1 positional argument (0 given)"),
            ("1, 2", "takes exactly 1 positional argument (2 given)"),
            ("1, zz=2", "got an unexpected keyword argument 'zz'"),
            ("1, q=2", "got multiple values for keyword argument 'q'"),
            # A missing parameter is reported before an unknown keyword.
            ("zz=2", "takes exactly 1 positional argument (0 given)"),
        ],
    ),
    "(signum, frame)": (
        "sigint_handler",
        [
            ("1", "takes exactly 2 positional arguments (1 given)"),
            ("1, 2, 3", "takes exactly 2 positional arguments (3 given)"),
            ("frame=1", "takes exactly 2 positional arguments (0 given)"),
        ],
    ),
    "(name, qi, qo)": (
        "monorun_main",
        [
            # The count is of the parameters filled before the first missing one.
            ("1, qo=1", "takes exactly 3 positional arguments (1 given)"),
            ("qi=1, qo=2", "takes exactly 3 positional arguments (0 given)"),
            ("name=1, qo=2", "takes exactly 3 positional arguments (1 given)"),
            ("1, 2, zz=1", "takes exactly 3 positional arguments (2 given)"),
            ("1, 2, 3, 4", "takes exactly 3 positional arguments (4 given)"),
            ("1, 2, 3, name=4", "got multiple values for keyword argument 'name'"),
        ],
    ),
    "(self)": (
        # MultiProcessNoRep.init_process is no static method: read through an
        # instance, it binds like a method.
        "_HandleContent.__init__ _HandleContent.clear SingleProcess.kill SingleProcess.clear_output"
        " MultiProcessPool.init_process MultiProcessPool.kill_all MultiProcessPool.clear_output"
        " MultiProcessNoRep.init_process",
        [
            ("S, 1", "takes exactly 1 positional argument (2 given)"),
            ("S, zz=1", "got an unexpected keyword argument 'zz'"),
            ("S, self=1", "got multiple values for keyword argument 'self'"),
            ("", "takes exactly 1 positional argument (0 given)"),
            ("None, None", "takes exactly 1 positional argument (2 given)"),
        ],
    ),
    "(self, w)": (
        "SingleProcess.blocked_put",
        [
            ("S", "takes exactly 2 positional arguments (1 given)"),
            ("S, 1, 2", "takes exactly 2 positional arguments (3 given)"),
            ("S, zz=1", "takes exactly 2 positional arguments (1 given)"),
            ("S, 1, w=2", "got multiple values for keyword argument 'w'"),
        ],
    ),
    "(self, name=None)": (
        "SingleProcess.__init__",
        [
            ("S, 1, 2", "takes at most 2 positional arguments (3 given)"),
            ("", "takes at least 1 positional argument (0 given)"),
            ("name=1", "takes at least 1 positional argument (0 given)"),
            ("S, zz=1", "got an unexpected keyword argument 'zz'"),
            ("S, 1, name=2", "got multiple values for keyword argument 'name'"),
        ],
    ),
    "(self, args, block=True)": (
        "MultiProcessPool.__init__ MultiProcessPool.map",
        [
            ("S", "takes at least 2 positional arguments (1 given)"),
            ("", "takes at least 2 positional arguments (0 given)"),
            ("S, block=1", "takes at least 2 positional arguments (1 given)"),
            ("S, 1, 2, 3", "takes at most 3 positional arguments (4 given)"),
            ("S, 1, args=1", "got multiple values for keyword argument 'args'"),
            ("S, 1, zz=1", "got an unexpected keyword argument 'zz'"),
        ],
    ),
    "(self, *ws, end='\\n')": (
        "_HandleContent.xprint",
        [
            ("", "takes at least 1 positional argument (0 given)"),
            ("end=''", "takes at least 1 positional argument (0 given)"),
            ("S, 'a', zz=''", "got an unexpected keyword argument 'zz'"),
            # The collecting parameter has no keyword of its own.
            ("S, ws=1", "got an unexpected keyword argument 'ws'"),
            ("S, 'a', self=1", "got multiple values for keyword argument 'self'"),
        ],
    ),
    "(self, **kwds)": (
        "_HandleContent.xreturn",
        [
            ("S, 1", "takes exactly 1 positional argument (2 given)"),
            ("", "takes exactly 1 positional argument (0 given)"),
            ("zz=1", "takes exactly 1 positional argument (0 given)"),
            ("S, self=1", "got multiple values for keyword argument 'self'"),
        ],
    ),
}

MODULE_NAMES = {m.__name__, polyrun.__name__}


def ours(owner):
    """Functions defined in `owner` (a module or class): qualified name -> (function, owner)."""
    found = {}
    for attr in vars(owner):
        value = getattr(owner, attr)
        if isinstance(value, type) and value.__module__ == getattr(owner, "__name__", None):
            found.update(ours(value))
        elif isinstance(value, types.FunctionType):
            continue  # written in Python (vantrel._pool): Python binds its arguments
        elif callable(value) and getattr(value, "__module__", None) in MODULE_NAMES:
            found[value.__qualname__] = (value, owner)
    return found


FUNCTIONS = ours(m) | ours(polyrun)
LISTED = [(shape, q) for shape, (names, _) in SHAPES.items() for q in names.split()]


def test_every_function_has_one_shape():
    assert sorted(q for _, q in LISTED) == sorted(FUNCTIONS)


def params(sig):
    return [(p.kind, p.default is p.empty) for p in sig.parameters.values()]


def arguments(text):
    return eval(f"(lambda *a, **k: (a, k))({text})", {"S": S})


@pytest.mark.parametrize("shape, qualname", LISTED)
def test_calls_that_do_not_fit(shape, qualname):
    fn, owner = FUNCTIONS[qualname]
    model = inspect.signature(eval(f"lambda {shape[1:-1]}: None"))
    assert params(inspect.signature(fn)) == params(model), "listed under the wrong shape"
    own = dict(zip(model.parameters, inspect.signature(fn).parameters, strict=True))
    name = fn.__name__

    def through_instance(*args, **kwargs):
        if name == "__init__":
            return owner(*args, **kwargs)
        return getattr(owner.__new__(owner), name)(*args, **kwargs)

    for text, message in SHAPES[shape][1]:
        args, kwargs = arguments(text)
        kwargs = {own.get(k, k): v for k, v in kwargs.items()}
        message = re.sub(
            r"argument '(\w+)'", lambda k: f"argument '{own.get(k[1], k[1])}'", message
        )
        with pytest.raises(TypeError) as info:
            if args[:1] == (S,):
                through_instance(*args[1:], **kwargs)
            else:
                fn(*args, **kwargs)
        assert str(info.value) == f"{name}() {message}", f"{qualname}({text})"
