"""examples/live.ipynb as a reader sees it: executed on a real kernel
(nbclient), converted to a page (nbconvert) and loaded in headless
Chromium, whose DOM must show the status tables and the live text."""

import os
import pathlib
import shutil

import nbformat
import pytest
from nbclient import NotebookClient
from programs import ROOT, run_program

NOTEBOOK = ROOT / "examples" / "live.ipynb"
BROWSER = shutil.which("chromium") or shutil.which("chromium-browser")


def executed(tmp_path):
    nb = nbformat.read(NOTEBOOK, as_version=4)
    client = NotebookClient(
        nb, timeout=120, kernel_name="python3", resources={"metadata": {"path": str(tmp_path)}}
    )
    client.execute()
    return nb


def text_of(cell):
    return "".join(
        o.get("text", "") or o.get("data", {}).get("text/plain", "") + "\n" for o in cell.outputs
    )


@pytest.fixture(scope="module")
def page(tmp_path_factory):
    nbconvert = pytest.importorskip("nbconvert", reason="nbconvert: pip install 'vantrel[test]'")
    tmp = tmp_path_factory.mktemp("page")
    nb = executed(tmp)
    html, _ = nbconvert.HTMLExporter().from_notebook_node(nb)
    path = tmp / "live.html"
    path.write_text(html)
    return nb, path


def test_the_notebook_says_what_it_shows(page):
    nb, _ = page
    cells = {c.id: c for c in nb.cells}
    batch = text_of(cells["batch"])
    for k in range(6):
        assert "".join(f"job {k}: step {s}\n" for s in range(3)) in "".join(
            line + "\n" for line in batch.splitlines() if line.startswith(f"job {k}:")
        )
    assert "6 answers; 3 steps in the last one" in batch
    during = text_of(cells["status"])
    assert "watch: 2 workers, 2 running" in during and "total = sum(range(10**7))" in during
    assert "watch: 2 workers, 0 running" in text_of(cells["status-text"])
    magic = text_of(cells["magic"])
    assert magic.count("SUCCESS") == 2 and magic.count("and is done") == 2


@pytest.mark.skipif(
    BROWSER is None, reason="no Chromium here (make browser installs Debian's chromium)"
)
def test_the_page_in_a_browser_shows_the_tables_and_the_live_text(page, tmp_path):
    _, path = page
    result = run_program(
        [BROWSER, "--headless", "--no-sandbox", "--disable-gpu", "--virtual-time-budget=3000"]
        + ["--dump-dom", path.as_uri()],
        cwd=tmp_path,
        timeout=90,
        # The browser is not ours: no sanitizer runtime preloaded into it.
        env={k: v for k, v in os.environ.items() if k != "LD_PRELOAD"},
    )
    dom = result.stdout
    assert result.returncode == 0, result.stderr[-2000:]
    # The status table of the idle pool, the one taken during the batch, and
    # its bars (drawn in the page itself, nothing fetched).
    assert dom.count('<table class="vantrel-status"') >= 2
    assert "2 workers, 2 running" in dom and "<svg" in dom
    assert "job 5: step 2" in dom and "and is done" in dom


def test_the_screenshot_in_docs_is_there():
    shot = pathlib.Path(ROOT / "docs" / "live.png")
    assert shot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
