"""Plain-Python versions of our classes, for tests that compare behaviour."""


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
