"""_HandleContent, the collector of what a job prints and returns, run in this process."""

import copy

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from programs import MANY_LINES
from twins import _HandleContent as PyHandleContent

from vantrel.monorun import _HandleContent


class Boom:
    def __init__(self, exc):
        self.exc = exc

    def __str__(self):
        raise self.exc

    def __repr__(self):
        return f"Boom({self.exc!r})"


def variants(base):
    """The collector and subclasses that take over attribute access or methods."""

    class Stored(base):  # print_content kept elsewhere, behind a property
        @property
        def print_content(self):
            return self.box[0]

        @print_content.setter
        def print_content(self, value):
            self.box = [value]

    class Prefixed(base):
        def clear(self):
            base.clear(self)
            self.print_content = ">"

    class Watched(base):
        def __setattr__(self, name, value):
            self.__dict__.setdefault("writes", []).append((name, type(value).__name__))
            object.__setattr__(self, name, value)

    return [base, Stored, Prefixed, Watched]


def state(pc):
    text = getattr(pc, "print_content", AttributeError)
    return type(text), text, pc.return_content, vars(pc).get("writes")


values = st.one_of(
    st.text(max_size=4),
    st.integers(),
    st.lists(st.integers(), max_size=2),
    st.sampled_from(
        ["é", "€", "😀", "\x00", Boom(ValueError()), Boom(KeyboardInterrupt()), Boom(SystemExit(1))]
    ),
)
ends = st.one_of(st.just("\n"), st.text(max_size=2), st.integers(0, 2))
ops = st.one_of(
    st.tuples(st.just("print"), st.lists(values, max_size=4), ends),
    st.tuples(st.just("return"), st.dictionaries(st.sampled_from("abc"), st.integers())),
    st.tuples(st.just("clear")),
    st.tuples(st.just("keep")),
    st.tuples(st.just("reset"), st.sampled_from([[], b"", 0, type("S", (str,), {})("s")])),
    st.tuples(st.just("del")),
)


@pytest.mark.parametrize("which", range(4))
@settings(max_examples=150, deadline=None)
@given(script=st.lists(ops, max_size=12))
def test_matches_plain_python_collector(which, script):
    ours, twin = variants(_HandleContent)[which](), variants(PyHandleContent)[which]()
    kept = []  # texts someone else still holds must never change under them
    for op in script:
        outcomes = []
        for pc in (ours, twin):
            try:
                if op[0] == "print":
                    pc.xprint(*op[1], end=op[2])
                elif op[0] == "return":
                    pc.xreturn(**op[1])
                elif op[0] == "clear":
                    pc.clear()
                elif op[0] == "reset":
                    pc.print_content = copy.copy(op[1])
                elif op[0] == "del":
                    del pc.print_content
                elif isinstance(pc.print_content, str):
                    text = pc.print_content
                    kept.append((text, "".join(list(text)), hash(text)))
                outcomes.append(None)
            except (TypeError, AttributeError) as e:
                outcomes.append(type(e))
        assert outcomes[0] == outcomes[1] and state(ours) == state(twin)
        text = getattr(ours, "print_content", None)
        if type(text) is str:
            assert hash(text) == hash("".join(list(text)))
    assert all(text == same and hash(same) == h for text, same, h in kept)


def test_print_examples():
    pc = _HandleContent()
    assert vars(pc) == {"print_content": "", "return_content": {}}
    assert pc.xprint("a", 1, [2]) is None and pc.xprint("b") is None
    assert pc.print_content == "a1[2]\nb\n"
    pc.xprint(Boom(KeyboardInterrupt()), "c", Boom(SystemExit()), "d", end="")
    pc.xprint()
    assert pc.print_content == "a1[2]\nb\ncd\n"
    with pytest.raises(TypeError):
        pc.xprint("x", end=5)
    assert pc.print_content == "a1[2]\nb\ncd\nx"


def test_return_examples():
    pc = _HandleContent()
    pc.xreturn(a=1)
    pc.xreturn(a=2, b=3)
    assert pc.xreturn() is None and list(pc.return_content.items()) == [("a", 2), ("b", 3)]
    with pytest.raises(TypeError):
        pc.xreturn(1, c=4)
    earlier = pc.return_content
    assert pc.clear() is None
    assert earlier == {"a": 2, "b": 3} and pc.return_content == {} and pc.print_content == ""


def test_many_prints_join_in_order():
    pc = _HandleContent()
    for i in range(MANY_LINES):
        pc.xprint("line ", i)
    assert pc.print_content == "".join(f"line {i}\n" for i in range(MANY_LINES))
