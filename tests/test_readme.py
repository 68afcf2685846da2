"""The README is the user's manual: every Python block in it runs as written,
and its tables, fences and links are well formed."""

import os
import re

import pytest
from programs import HAS_RAY, ROOT, run_program

README = ROOT / "README.md"
FENCE = re.compile(r"^```(\S*)\s*$")


def blocks(text):
    """(language, first line number, source) of every fenced block."""
    found, lang, start, body = [], None, 0, []
    for number, line in enumerate(text.splitlines(), 1):
        m = FENCE.match(line)
        if m and lang is None:
            lang, start, body = m.group(1), number + 1, []
        elif line.rstrip() == "```" and lang is not None:
            found.append((lang, start, "\n".join(body) + "\n"))
            lang = None
        elif lang is not None:
            body.append(line)
    assert lang is None, f"README.md:{start}: fence never closed"
    return found


PYTHON = [(start, code) for lang, start, code in blocks(README.read_text()) if lang == "python"]


@pytest.mark.parametrize("code", [c for _, c in PYTHON], ids=[f"line{n}" for n, _ in PYTHON])
def test_python_block_runs(code, tmp_path):
    if "vantrel import cluster" in code and os.environ.get("VANTREL_SANITIZED"):
        pytest.skip("Ray's processes do not run under ASan")
    if "vantrel import cluster" in code and not HAS_RAY:
        pytest.skip("Ray is not installed (no wheels for this Python)")
    # A fresh interpreter outside the source tree; a block that leaves a worker
    # alive never exits and fails on the time-out.
    result = run_program(code, cwd=tmp_path, timeout=60)
    assert result.returncode == 0, result.stdout + result.stderr


def test_every_block_names_its_language():
    assert len(PYTHON) >= 8
    assert all(lang for lang, _, _ in blocks(README.read_text()))


def cells(row):
    # Split on the pipes outside inline code.
    parts = re.split(r"\|(?=(?:[^`]*`[^`]*`)*[^`]*$)", row.strip())
    return parts[1:-1]


def test_tables_are_well_formed():
    lines = README.read_text().splitlines()
    in_code = False
    tables, current = [], []
    for number, line in enumerate(lines, 1):
        if line.startswith("```"):
            in_code = not in_code
        if not in_code and line.startswith("|"):
            current.append((number, line))
        elif current:
            tables.append(current)
            current = []
    assert len(tables) >= 4
    for table in tables:
        (first, header), (_, rule), *rows = table
        width = len(cells(header))
        assert re.fullmatch(r"\|(\s*:?-+:?\s*\|)+", rule), f"README.md:{first + 1}"
        assert len(cells(rule)) == width, f"README.md:{first + 1}"
        for number, row in rows:
            assert len(cells(row)) == width, f"README.md:{number}: {row}"


def slug(heading):
    text = re.sub(r"[^\w\s-]", "", heading.strip().lower())
    return re.sub(r"\s", "-", text)


def test_links_resolve():
    text = README.read_text()
    prose = re.sub(r"```.*?```", "", text, flags=re.S)
    anchors = {slug(h) for h in re.findall(r"^#+ (.*)$", prose, flags=re.M)}
    targets = re.findall(r"\]\(([^)\s]+)\)", prose)
    assert targets
    for target in targets:
        path, _, anchor = target.partition("#")
        if path:
            assert (ROOT / path).exists(), target
        else:
            assert anchor in anchors, target
