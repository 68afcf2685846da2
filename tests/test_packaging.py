"""What the installed wheel carries: files and metadata."""

import importlib.machinery
import importlib.metadata
import platform
import sys

from packaging.specifiers import SpecifierSet
from programs import ROOT

import vantrel


def test_wheel_files():
    files = {f.name: f for f in importlib.metadata.files("vantrel") if f.parts[0] == "vantrel"}
    modules = {name.split(".")[0] for name in files if name.endswith(".so")}
    assert modules == {"monorun", "polyrun", "_runner"}
    # A stub beside each compiled module, and the marker that makes type
    # checkers read them.
    assert {f"{m}.pyi" for m in modules} | {"py.typed"} <= set(files)
    assert not [name for name in files if name.endswith((".cpp", ".hpp"))]
    # Built for the interpreter that runs the tests, not for another one found.
    suffix = importlib.machinery.EXTENSION_SUFFIXES[0]
    assert {name for name in files if name.endswith(".so")} == {m + suffix for m in modules}


def test_metadata():
    meta = importlib.metadata.metadata("vantrel")
    assert meta["Version"] == vantrel.__version__
    assert SpecifierSet(meta["Requires-Python"]).contains(platform.python_version())
    assert meta["Description-Content-Type"] == "text/markdown"
    # The long description: the body on 3.14 and before, a field from 3.15 on.
    assert meta.json["description"].strip() == (ROOT / "README.md").read_text().strip()
    classifiers = meta.get_all("Classifier")
    assert "Typing :: Typed" in classifiers
    assert "Programming Language :: Python :: {}.{}".format(*sys.version_info) in classifiers
    licenses = [f for f in importlib.metadata.files("vantrel") if f.name == "LICENSE"]
    assert licenses and licenses[0].read_text() == (ROOT / "LICENSE").read_text()


def test_loads_without_a_version_warning(run_python):
    # Compiled for this very interpreter version: a warning here would mean the
    # build took another interpreter's headers.
    done = run_python("import warnings\nwarnings.simplefilter('error')\nimport vantrel.polyrun")
    assert (done.returncode, done.stderr) == (0, "")
