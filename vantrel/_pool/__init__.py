"""Pool methods written in Python on top of the core's message path.

Each module of this package names the methods it adds in ``METHODS`` (name ->
function). ``install`` gives a pool class its own copy of each, named as if
it had been defined in that class's body, so that they introspect, bind and
pickle like the class's other methods.
"""

import importlib
import types

# The modules whose METHODS every pool class gets, in this order.
_MODULES: tuple[str, ...] = ("workers", "data", "healing", "status")


def _own_copy(fn, cls):
    copy = types.FunctionType(
        fn.__code__, fn.__globals__, fn.__name__, fn.__defaults__, fn.__closure__
    )
    copy.__kwdefaults__ = fn.__kwdefaults__
    copy.__doc__ = fn.__doc__
    copy.__dict__.update(fn.__dict__)
    copy.__annotations__ = dict(fn.__annotations__)
    copy.__module__ = cls.__module__
    copy.__qualname__ = f"{cls.__qualname__}.{fn.__name__}"
    return copy


def _own(obj, cls, name):
    if isinstance(obj, property):
        fget = obj.fget and _own_copy(obj.fget, cls)
        fset = obj.fset and _own_copy(obj.fset, cls)
        for fn in (fget, fset):
            if fn is not None:
                fn.__name__ = name
                fn.__qualname__ = f"{cls.__qualname__}.{name}"
        return property(fget, fset, None, obj.__doc__ or (fget and fget.__doc__))
    return _own_copy(obj, cls)


def install(cls):
    """Adds every module's METHODS (functions, or properties) to ``cls`` (a
    name the class defines itself wins)."""
    for name in _MODULES:
        module = importlib.import_module(f"{__name__}.{name}")
        for attr, obj in module.METHODS.items():
            if attr not in cls.__dict__:
                setattr(cls, attr, _own(obj, cls, attr))
    return cls
