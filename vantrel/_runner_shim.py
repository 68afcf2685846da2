"""TEMPORARY stand-in for the compiled `vantrel._runner` (running one job, as
a local worker's job loop does), so that `vantrel.cluster` can be built and
tested before that module lands. Delete this file then; `vantrel.cluster`
names it on exactly one line.
"""

import builtins
import functools
import traceback
from multiprocessing.reduction import ForkingPickler
from typing import Any

from vantrel import monorun

_HERE = __file__


@functools.lru_cache(maxsize=512)
def _compiled(source: str) -> Any:
    return compile(source, "<string>", "exec")


def _code(source: str) -> Any:
    # Subclasses of str may redefine hashing and equality: never cache them.
    return _compiled(source) if type(source) is str else compile(source, "<string>", "exec")


def _traceback_text(error: BaseException) -> str:
    # The frames of this file are ours, not the job's: a local worker's
    # traceback starts at the job's own code.
    tb = error.__traceback__
    while tb is not None and tb.tb_frame.f_code.co_filename == _HERE:
        tb = tb.tb_next
    try:
        return "".join(traceback.format_exception(type(error), error, tb))
    except Exception as format_error:
        return (
            f"{type(error).__name__}: {error}\n"
            f"(the traceback could not be formatted: {format_error!r})\n"
        )


class JobRunner:
    """One collector and one namespace; `run` answers one job."""

    def __init__(self) -> None:
        self._pc = monorun._HandleContent()
        self._globals: dict[str, Any] = {"xprint": self._pc.xprint, "xreturn": self._pc.xreturn}

    def run(self, job: object) -> list[Any] | None:
        pc = self._pc
        pc.clear()
        try:
            if isinstance(job, str):
                self._item(job)
            elif type(job) is list or type(job) is tuple:
                i = 0
                while i < len(job):
                    self._item(job[i])
                    i += 1
            else:
                for item in job:  # type: ignore[attr-defined]
                    self._item(item)
        except KeyboardInterrupt:
            return None
        except Exception as e:
            return ["EXCEPTION", pc.print_content, _traceback_text(e), pc.return_content]
        return ["SUCCESS", pc.print_content, "", pc.return_content]

    def _item(self, item: object) -> None:
        g = self._globals
        if isinstance(item, str):
            code = _code(item)
            if "__builtins__" not in g:
                g["__builtins__"] = builtins.__dict__
            local: dict[str, Any] = {}
            exec(code, g, local)
            g.update(local)
        elif isinstance(item, dict):
            g.update(item)


def unsendable_answer(answer: list[Any], error: BaseException) -> list[Any]:
    """The "EXCEPTION" answer sent in place of one that cannot be pickled."""
    reason = "".join(traceback.format_exception(error))
    printed = answer[1] if isinstance(answer[1], str) else ""
    earlier = answer[2] if isinstance(answer[2], str) else ""
    kept: dict[Any, Any] = {}
    bad: list[str] = []
    values = answer[3] if isinstance(answer[3], dict) else {}
    for key, value in list(values.items()):
        try:
            ForkingPickler.dumps(value)
        except Exception:
            bad.append(repr(key))
        else:
            kept[key] = value
    if bad:
        which = (
            "the answer could not be sent: the value(s) handed to xreturn under "
            f"{', '.join(bad)} cannot be pickled\n"
        )
    else:
        which = "the answer could not be sent: it cannot be pickled\n"
    return ["EXCEPTION", str(printed), f"{earlier}{reason}\n{which}", kept]
