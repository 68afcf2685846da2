"""vantrel: warm, stateful Python worker processes.

The work is done by two extension modules, imported on their own:
``vantrel.monorun`` (one worker and its handle) and ``vantrel.polyrun``
(pools of workers).
"""

__version__ = "0.1.0"


def __getattr__(name):  # type: ignore[no-untyped-def]
    # Loaded when first asked for: importing vantrel stays light.
    if name == "SetupError":
        from vantrel._pool.healing import SetupError

        return SetupError
    raise AttributeError(f"module 'vantrel' has no attribute {name!r}")


def load_ipython_extension(ipython):  # type: ignore[no-untyped-def]
    """``%load_ext vantrel``: the ``%%vantrel`` cell magic."""
    from vantrel import _magic

    _magic.load(ipython)
