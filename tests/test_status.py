"""pool.status(): what each worker of a real pool is doing, during a batch,
after a death and after a replacement; its text and HTML tables."""

import os
import signal
import threading

import pytest
from waits import deadline

from vantrel import futures, polyrun


@pytest.fixture
def pool():
    p = polyrun.MultiProcessPool(2, "seen")
    try:
        yield p
    finally:
        p.kill_all()


def wait_for(path):
    return f"import os, time\nwhile not os.path.exists({str(path)!r}): time.sleep(0.01)\n"


def until(pool, check, seconds=30):
    with deadline(seconds, "the status"):
        while True:
            rows = pool.status()
            if check(rows):
                return rows
            threading.Event().wait(0.02)


def test_idle_pool(pool):
    rows = pool.status()
    pids = list(pool.procs)
    assert [(w.index, w.pid, w.state, w.job, w.restarts) for w in rows] == [
        (0, pids[0], "idle", None, 0),
        (1, pids[1], "idle", None, 0),
    ]
    assert all(w.rss > 0 and w.cpu >= 0 and w.answered == 0 for w in rows)


def test_during_a_map_each_worker_shows_the_job_it_runs(pool, tmp_path):
    go = tmp_path / "go"
    jobs = [wait_for(go) + "# first", "xprint(1)", "pass", "xreturn(a=1)"]
    answers = []
    caller = threading.Thread(target=lambda: answers.append(pool.map(jobs)))
    caller.start()
    try:
        # The worker counts its job on its page before the caller has
        # recorded the call that names it: the name may come a moment later.
        rows = until(pool, lambda r: r[0].state == "running" and r[0].job is not None)
        assert rows[0].job == "import os, time" and rows[0].running_for >= 0
        assert rows[0].answered == 0
        assert "seen: 2 workers" in str(rows) and "import os, time" in str(rows)
    finally:
        go.touch()
        caller.join(30)
    assert [a[0] for a in answers[0]] == ["SUCCESS"] * 4
    rows = pool.status()
    assert [(w.state, w.answered) for w in rows] == [("idle", 2), ("idle", 2)]
    assert "seen: 2 workers, 0 running" in str(rows)


def test_futures_in_flight_show_as_running(pool, tmp_path):
    go = tmp_path / "go"
    f = futures.submit(pool, wait_for(go) + "xprint('done')", 1)
    rows = until(pool, lambda r: r[1].state == "running")
    assert rows[0].state == "idle" and rows[1].job == "import os, time"
    go.touch()
    assert f.result(timeout=30)[1] == "done\n"
    rows = until(pool, lambda r: r[1].state == "idle")
    assert rows[1].answered == 1


def test_after_a_death_and_after_a_replacement(pool):
    dead = list(pool.procs)[0]
    os.kill(dead, signal.SIGKILL)
    rows = until(pool, lambda r: r[0].state == "dead")
    assert rows[0].pid == dead and rows[0].rss is None and rows[1].state == "idle"
    assert "dead" in str(rows)
    fresh = pool.replace_worker(0)
    rows = pool.status()
    assert [(w.pid, w.state, w.restarts) for w in rows] == [
        (fresh.proc.pid, "idle", 1),
        (list(pool.procs)[1], "idle", 0),
    ]


def test_being_replaced_shows_while_the_new_worker_starts(pool, monkeypatch):
    seen = []
    cs = polyrun.cs
    original = cs.SingleProcess

    def starting(*args):
        seen.append(pool.status()[1].state)
        return original(*args)

    monkeypatch.setattr(cs, "SingleProcess", starting)
    pool.replace_worker(1)
    assert seen == ["being replaced"]


def test_html_table_has_a_row_and_bars_per_worker(pool):
    page = pool.status()._repr_html_()
    assert page.count("<tr>") == 3  # the header and two workers
    assert page.count("<svg") == 4  # memory and CPU for each
    assert "http" not in page  # nothing fetched from elsewhere


def test_a_terminal_gets_the_table_when_it_asks(pool, capsys):
    futures.map(pool, ["pass"] * 4, status=True)
    assert "seen: 2 workers" in capsys.readouterr().out
    futures.map(pool, ["pass"] * 4)
    assert capsys.readouterr().out == ""
