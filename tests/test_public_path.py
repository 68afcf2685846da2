"""The public path: queues whose insides vantrel does not know are used
through their own put and get, with a warning said once."""

import pathlib
import sys
import textwrap

from programs import run_program

TESTS = pathlib.Path(__file__).parent

UNFAMILIAR = textwrap.dedent(
    f"""
    import sys, warnings
    sys.path.insert(0, {str(TESTS)!r})
    from programs import unfamiliar_queue_layout
    unfamiliar_queue_layout()
    from vantrel import polyrun
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        pool = polyrun.MultiProcessPool(2)
        try:
            answers = pool.map([f"xreturn(k={{k}})" for k in range(50)])
            assert [a[3]["k"] for a in answers] == list(range(50))
            assert pool.map(["1/0"])[0][0] == "EXCEPTION"
        finally:
            pool.kill_all()
    texts = [str(w.message) for w in seen if w.category is RuntimeWarning]
    assert len(texts) == 1 and "public put and get" in texts[0], texts
    print("ok")
    """
)


def test_unfamiliar_layout_warns_once_and_works(tmp_path):
    done = run_program([sys.executable, "-c", UNFAMILIAR], cwd=tmp_path, timeout=60)
    assert done.stdout == "ok\n", done.stderr[-2000:]


def test_pool_tests_through_the_public_path(tmp_path):
    # The pool's own tests, through a multiprocessing.Queue that looks unfamiliar.
    tests = TESTS
    done = run_program(
        [
            sys.executable,
            "-m",
            "pytest",
            "-q",
            "-p",
            "no:cacheprovider",
            "--queue-path=unknown-layout",
            # Runs a program of its own, which takes the direct path. (A node id
            # given to --deselect depends on where pytest puts its root.)
            "-k",
            "not test_answers_pair_with_their_jobs_under_random_interrupts",
        ]
        + [
            str(tests / name)
            for name in (
                "test_scatter_gather.py",
                "test_pool_lifecycle.py",
                "test_message_order.py",
            )
        ],
        cwd=tests,
        timeout=240,
    )
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-2000:]
