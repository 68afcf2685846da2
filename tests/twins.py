"""Plain-Python versions of our classes, for tests that compare behaviour."""

# Names that a `class` statement adds on CPython 3.13 and later (where it was
# defined, which attributes its methods set). Our classes are made by calling
# `type`, as on every version, so they never carry them.
CLASS_STATEMENT_EXTRAS = ("__firstlineno__", "__static_attributes__")


def class_names(cls):
    """The names in a class namespace, in order, less the class statement's extras."""
    return [name for name in vars(cls) if name not in CLASS_STATEMENT_EXTRAS]


# The collector written as plain Python: ours must not be told apart from it.
# (No docstring: the class namespace must match ours entry for entry.)
class _HandleContent:
    def __init__(self):
        self.clear()

    def xprint(self, *ws, end="\n"):
        for w in ws:
            try:
                self.print_content += str(w)
            except BaseException:
                pass
        self.print_content += end

    def clear(self):
        self.print_content = ""
        self.return_content = {}

    def xreturn(self, **kwds):
        self.return_content.update(kwds)
