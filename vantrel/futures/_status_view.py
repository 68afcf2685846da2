"""The pools' status shown while a batch runs (gather and map with a
progress bar): in a notebook with ipywidgets, an HTML table under the bar,
refreshed by a thread of its own; in a terminal, on request, the text table
now and then."""

from __future__ import annotations

import sys
import threading
from typing import Any

# Between two refreshes of the table in a notebook, and in a terminal.
NOTEBOOK_EVERY = 0.5
TERMINAL_EVERY = 5.0


def _in_notebook() -> bool:
    ipython = sys.modules.get("IPython")
    shell = ipython.get_ipython() if ipython is not None else None  # type: ignore[attr-defined,unused-ignore]
    if shell is None or not hasattr(shell, "kernel"):
        return False
    try:
        import ipywidgets  # type: ignore[import-untyped,unused-ignore]  # noqa: F401
    except ImportError:
        return False
    return True


class LiveStatus:
    """A view of `pools`' status kept fresh until close()."""

    def __init__(self, pools: list[Any], notebook: bool, bar: Any) -> None:
        self.pools = pools
        self.bar = bar
        self.stopped = threading.Event()
        self.widget: Any = None
        if notebook:
            import ipywidgets  # type: ignore[import-untyped,unused-ignore]
            from IPython.display import display

            self.widget = ipywidgets.HTML(value=self.html())
            display(self.widget)  # type: ignore[no-untyped-call,unused-ignore]
        else:
            self.write()
        every = NOTEBOOK_EVERY if notebook else TERMINAL_EVERY
        self.thread = threading.Thread(
            target=self.refresh, args=(every,), name="vantrel status", daemon=True
        )
        self.thread.start()

    @classmethod
    def for_batch(cls, pools: list[Any], bar: Any, wanted: bool | None) -> LiveStatus | None:
        pools = [p for p in pools if hasattr(p, "status")]
        if not pools or wanted is False:
            return None
        notebook = _in_notebook()
        if wanted is None and not (bar is not None and notebook):
            return None
        return cls(pools, notebook, bar)

    def html(self) -> str:
        return "".join(p.status()._repr_html_() for p in self.pools)

    def write(self) -> None:
        text = "\n".join(str(p.status()) for p in self.pools)
        if self.bar is not None:
            self.bar.write(text)
        else:
            print(text, flush=True)

    def show(self) -> None:
        if self.widget is not None:
            self.widget.value = self.html()
        else:
            self.write()

    def refresh(self, every: float) -> None:
        while not self.stopped.wait(every):
            try:
                self.show()
            except Exception:
                return  # a pool gone or killed meanwhile: the view stays as it was

    def close(self) -> None:
        """One last refresh, so that the view ends true to the pools."""
        self.stopped.set()
        self.thread.join(5)
        try:
            if self.widget is not None:
                self.widget.value = self.html()
        except Exception:
            pass
