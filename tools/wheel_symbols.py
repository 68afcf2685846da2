"""What the compiled modules of a wheel ask of the system, read from their ELF
symbol tables: the shared libraries they load, the highest GLIBC_ and GLIBCXX_
symbol versions they need, the symbols they export.

    python tools/wheel_symbols.py WHEEL...

prints one line per wheel (its manylinux tag, its highest GLIBC_ and GLIBCXX_
versions) and fails when a wheel is not tagged manylinux, needs a glibc newer
than its tag, loads a library outside the manylinux policy (a C++ runtime
among them: ours is linked in) or exports more than its init functions.
Needs pyelftools. tests/test_packaging.py checks an installed wheel with it.
"""

import io
import re
import sys
import zipfile

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile
from elftools.elf.gnuversions import GNUVerNeedSection

# The libraries every manylinux policy lets a wheel load from the system.
SYSTEM_LIBRARIES = {
    "libc.so.6",
    "libm.so.6",
    "libdl.so.2",
    "librt.so.1",
    "libpthread.so.0",
    "ld-linux-x86-64.so.2",
    "ld-linux-aarch64.so.1",
}


def _version(name, prefix):
    match = re.fullmatch(re.escape(prefix) + r"([0-9.]+)", name)
    return tuple(int(p) for p in match.group(1).split(".")) if match else None


def elf_facts(stream):
    """Needed libraries, highest GLIBC_ and GLIBCXX_ versions (tuples or None)
    and exported symbols of one shared object."""
    elf = ELFFile(stream)
    needed, versions, exports = set(), set(), set()
    for section in elf.iter_sections():
        if isinstance(section, DynamicSection):
            needed |= {t.needed for t in section.iter_tags("DT_NEEDED")}
        elif isinstance(section, GNUVerNeedSection):
            for _, auxiliaries in section.iter_versions():
                versions |= {aux.name for aux in auxiliaries}
    dynsym = elf.get_section_by_name(".dynsym")
    for symbol in dynsym.iter_symbols() if dynsym else ():
        defined = symbol["st_shndx"] != "SHN_UNDEF"
        if defined and symbol.name and symbol["st_info"]["bind"] in ("STB_GLOBAL", "STB_WEAK"):
            exports.add(symbol.name)
    highest = {}
    for prefix in ("GLIBC_", "GLIBCXX_"):
        found = [v for v in (_version(n, prefix) for n in versions) if v]
        highest[prefix] = max(found) if found else None
    return needed, highest["GLIBC_"], highest["GLIBCXX_"], exports


def _dotted(version):
    return ".".join(map(str, version)) if version else "none"


def check_wheel(path):
    """Returns (summary line, list of faults) for one wheel file."""
    name = path.rsplit("/", 1)[-1]
    platform = name[: -len(".whl")].split("-")[-1]
    faults = []
    tag = re.match(r"manylinux_(\d+)_(\d+)_", platform)
    if not tag:
        faults.append(f"tagged {platform}, not manylinux")
    floor = (int(tag.group(1)), int(tag.group(2))) if tag else None
    glibc, glibcxx = (), ()
    with zipfile.ZipFile(path) as wheel:
        modules = [n for n in wheel.namelist() if n.endswith(".so")]
        if any(".libs/" in n for n in wheel.namelist()):
            faults.append("auditwheel grafted libraries into it")
        for module in modules:
            needed, g, gxx, exports = elf_facts(io.BytesIO(wheel.read(module)))
            glibc, glibcxx = max(glibc, g or ()), max(glibcxx, gxx or ())
            base = module.rsplit("/", 1)[-1].split(".")[0]
            if exports != {f"PyInit_{base}"}:
                faults.append(f"{module} exports {sorted(exports - {f'PyInit_{base}'})[:5]}")
            if needed - SYSTEM_LIBRARIES:
                faults.append(f"{module} loads {sorted(needed - SYSTEM_LIBRARIES)}")
    if floor and glibc > floor:
        faults.append(f"needs GLIBC_{_dotted(glibc)}, above its tag")
    cxx = f"GLIBCXX_{_dotted(glibcxx)}" if glibcxx else "no GLIBCXX_ (C++ runtime linked in)"
    line = f"{name}: {platform}, highest GLIBC_{_dotted(glibc)}, {cxx}"
    return line, faults


def main(paths):
    failed = False
    for path in paths:
        line, faults = check_wheel(path)
        print(line + ("" if faults else ", checked"))
        for fault in faults:
            print(f"  error: {fault}")
        failed = failed or bool(faults)
    return 1 if failed or not paths else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
