"""What the installed wheel carries: files and metadata."""

import importlib.metadata
import platform

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


def test_metadata():
    meta = importlib.metadata.metadata("vantrel")
    assert meta["Version"] == vantrel.__version__
    assert SpecifierSet(meta["Requires-Python"]).contains(platform.python_version())
    assert meta["Description-Content-Type"] == "text/markdown"
    assert meta.get_payload().strip() == (ROOT / "README.md").read_text().strip()
    assert "Typing :: Typed" in meta.get_all("Classifier")
    licenses = [f for f in importlib.metadata.files("vantrel") if f.name == "LICENSE"]
    assert licenses and licenses[0].read_text() == (ROOT / "LICENSE").read_text()
