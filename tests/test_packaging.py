"""What the installed wheel carries: files and metadata."""

import importlib.machinery
import importlib.metadata
import importlib.util
import platform
import re
import sys
import zipfile

from packaging.specifiers import SpecifierSet
from programs import ROOT

import vantrel


def test_wheel_files():
    files = {f.name: f for f in importlib.metadata.files("vantrel") if f.parts[0] == "vantrel"}
    modules = {name.split(".")[0] for name in files if name.endswith(".so")}
    assert modules == {"monorun", "polyrun", "_runner", "_wire"}
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


def _wheel_symbols():
    spec = importlib.util.spec_from_file_location("wheel_symbols", ROOT / "tools/wheel_symbols.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_modules_ask_the_system_for_little():
    # Every build exports the init functions alone. A manylinux wheel, built
    # elsewhere and installed as an index serves it, also loads no library
    # outside the policy (its C++ runtime is linked in) and needs no glibc
    # symbol newer than its tag says.
    symbols = _wheel_symbols()
    wheel = importlib.metadata.distribution("vantrel").read_text("WHEEL")
    tags = re.findall(r"^Tag: \S+-manylinux_(\d+)_(\d+)_\S+$", wheel, re.M)
    modules = [f for f in importlib.metadata.files("vantrel") if f.name.endswith(".so")]
    assert len(modules) == 4  # monorun, polyrun, _runner, _wire
    for module in modules:
        with open(module.locate(), "rb") as stream:
            needed, glibc, glibcxx, exports = symbols.elf_facts(stream)
        assert exports == {"PyInit_" + module.name.split(".")[0]}
        if tags:
            assert needed <= symbols.SYSTEM_LIBRARIES
            assert glibcxx is None
            assert glibc <= min((int(a), int(b)) for a, b in tags)


def test_wheel_check_refuses_what_an_index_must_not_get(tmp_path):
    # The modules installed here, packed under a tag they do not meet: CI's
    # check of the published wheels must fail them, not print them.
    symbols = _wheel_symbols()
    modules = [f for f in importlib.metadata.files("vantrel") if f.name.endswith(".so")]
    machine = platform.machine()
    cases = {f"linux_{machine}": "not manylinux", f"manylinux_2_5_{machine}": "above its tag"}
    for plat, fault in cases.items():
        wheel = tmp_path / f"vantrel-0-cp3-cp3-{plat}.whl"
        with zipfile.ZipFile(wheel, "w") as packed:
            for module in modules:
                packed.write(module.locate(), f"vantrel/{module.name}")
        line, faults = symbols.check_wheel(str(wheel))
        assert line.startswith(f"{wheel.name}: {plat}, highest GLIBC_2.")
        assert [f for f in faults if fault in f], faults
