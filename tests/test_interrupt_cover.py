"""Every loop of vantrel's Python code that runs inside a `try` or a `with`
jumps back under that statement's handler, so that an interrupt taken at
the jump runs the handler (lets go of a lock, undoes what was half done).

CPython 3.13 and 3.14 place some of these jumps outside the handler's
range and take interrupts there before jumping (3.11 and 3.12 jump first),
so that an interrupt skips `except`, `finally` and `__exit__` alike: 3.13
the jump of a `while` that tests its condition again at the bottom, both
the jump of a body that ends in a bare `if`, 3.14 also those of
comprehensions with a condition and of `any`/`all` over a generator, which
it inlines. Such loops are written `while True:` with the test inside, end
in `else: continue`, or are functions of their own (an exception leaving a
call is under the caller's handler). Checked on every version, so that a
loop written the other way fails everywhere, not only where it matters.
"""

import dis
import pathlib
import types

import vantrel

PACKAGE = pathlib.Path(vantrel.__file__).parent


def code_objects(code):
    yield code
    for const in code.co_consts:
        if isinstance(const, types.CodeType):
            yield from code_objects(const)


# A comprehension's own handler only puts back the names it shadowed and
# raises again, where the enclosing statement's handler (if any) takes over.
_RESTORING = {"SWAP", "POP_TOP", "STORE_FAST", "STORE_FAST_STORE_FAST", "STORE_DEREF"}


def uncovered_jumps(path):
    """The jumps back that no handler covers, in loops under a `try` or a
    `with` of their own function."""
    for code in code_objects(compile(path.read_text(), str(path), "exec")):
        instructions = list(dis.get_instructions(code))
        at = {ins.offset: k for k, ins in enumerate(instructions)}
        table = dis._parse_exception_table(code)

        def innermost(offset, table=table):
            return next((e for e in table if e.start <= offset < e.end), None)

        def handler_of(offset, instructions=instructions, at=at, innermost=innermost):
            """The handler of a statement that an exception at `offset` reaches."""
            entry = innermost(offset)
            while entry is not None:
                k = at[entry.target]
                first = instructions[k]
                if first.opname == "CALL_INTRINSIC_1" and first.arg == 3:
                    return None  # a generator's own: StopIteration to RuntimeError
                while instructions[k].opname in _RESTORING:
                    k += 1
                if instructions[k].opname != "RERAISE" or k == at[entry.target]:
                    return entry
                entry = innermost(instructions[k].offset)
            return None

        for ins in instructions:
            if (
                ins.opname == "JUMP_BACKWARD"
                and innermost(ins.offset) is None
                and handler_of(ins.argval) is not None
            ):
                yield f"{path.relative_to(PACKAGE)}:{ins.positions.lineno} ({code.co_qualname})"


def test_every_loop_jumps_back_under_its_handler():
    found = [where for path in sorted(PACKAGE.rglob("*.py")) for where in uncovered_jumps(path)]
    assert found == []
