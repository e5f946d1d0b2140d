"""The seeded fuzzer of fuzz_surface.py, run in child processes.

The seeds 0 .. VELMORA_FUZZ_CASES-1 are split among a few children that run at
the same time. A child prints one line per faulty seed and goes on with the
next; a child that dies (a crash, a sanitizer report, a hang) is started again
after the seed it died in, which the trail file names. The test fails with
every fault found: its seed, what went wrong and the last operations.
"""

import json
import os
import signal
import subprocess
import sys
import tempfile
import textwrap
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

HERE = Path(__file__).resolve().parent
FUZZER = HERE / "fuzz_surface.py"
# About 6000 cases run in 20 to 40 seconds on 8 cores.
CASES = int(os.environ.get("VELMORA_FUZZ_CASES", "6000"))
WORKERS = int(os.environ.get("VELMORA_FUZZ_JOBS", min(4, os.cpu_count() or 1)))
# A child ends itself when one case hangs (VELMORA_FUZZ_CASE_TIMEOUT); this is
# the last resort for a child that cannot.
CHILD_TIMEOUT = float(os.environ.get("VELMORA_FUZZ_TIMEOUT", "1800"))
MAX_FAULTS_PER_WORKER = int(os.environ.get("VELMORA_FUZZ_MAX_FAULTS", "6"))


def last_seed(trail_text):
    """The seed whose case was running when the trail stopped, and its last lines."""
    lines = trail_text.splitlines()
    seed, start = None, 0
    for i, line in enumerate(lines):
        if line.startswith("# seed "):
            seed, start = int(line.split()[2]), i
        elif line.startswith("# end "):
            seed = None
    return seed, lines[start + 1 :][-12:]


def run_seeds(first, count, workdir):
    """Runs seeds first .. first+count-1; returns the faults found."""
    faults = []
    seed, end = first, first + count
    while seed < end and len(faults) < MAX_FAULTS_PER_WORKER:
        trail = Path(workdir) / f"trail-{first}-{seed}.txt"
        cmd = [sys.executable, str(FUZZER), "--seed", str(seed), "--count", str(end - seed), "--trail", str(trail),
               "--max-faults", str(MAX_FAULTS_PER_WORKER - len(faults))]
        proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                errors="backslashreplace", start_new_session=True)
        try:
            out, err = proc.communicate(timeout=CHILD_TIMEOUT)
            how = None
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            out, err = proc.communicate()
            how = f"hung (no end after {CHILD_TIMEOUT:.0f} s)"
        for line in out.splitlines():
            if line.startswith("{"):
                faults.append(json.loads(line))
        if proc.returncode in (0, 3) and how is None:
            break
        if how is None:
            code = proc.returncode
            how = f"died by {signal.Signals(-code).name}" if code < 0 else f"exited with status {code}"
        died_in, lines = last_seed(trail.read_text(errors="backslashreplace") if trail.exists() else "")
        if died_in is None:
            faults.append({"seed": seed, "fault": f"the fuzzer {how} outside a case", "trail": [],
                           "stderr": without_expected_panics(err)[-6000:]})
            break
        faults.append({"seed": died_in, "fault": f"the process {how}", "trail": lines,
                       "stderr": without_expected_panics(err)[-6000:]})
        seed = died_in + 1
    return faults


def without_expected_panics(stderr):
    """Standard error less the reports of the panics that callers may get."""
    lines = stderr.splitlines()
    kept = []
    for line in lines:
        if line.startswith("not yet implemented") and kept and kept[-1].startswith("thread '"):
            kept.pop()
            continue
        kept.append(line)
    return "\n".join(kept)


def format_fault(f):
    text = [f"seed {f['seed']}: {f['fault']}", "  last operations:"]
    text += [f"    {line}" for line in f["trail"]]
    if f.get("stderr"):
        text.append("  standard error (end):")
        text += [f"    {line}" for line in f["stderr"].strip().splitlines()[-60:]]
    text.append(f"  again: PYTHONPATH=build python3 tests/python/fuzz_surface.py --seed {f['seed']} --verbose")
    return "\n".join(text)


def test_fuzz_the_python_surface():
    started = time.monotonic()
    chunk = -(-CASES // WORKERS)
    with tempfile.TemporaryDirectory() as workdir, ThreadPoolExecutor(WORKERS) as pool:
        runs = [pool.submit(run_seeds, first, min(chunk, CASES - first), workdir)
                for first in range(0, CASES, chunk)]
        faults = sorted((f for run in runs for f in run.result()), key=lambda f: f["seed"])
    elapsed = time.monotonic() - started
    assert not faults, (
        f"{len(faults)} fault(s) in {CASES} seeded cases ({elapsed:.0f} s; each of {WORKERS} children "
        f"stops at {MAX_FAULTS_PER_WORKER}):\n\n"
        + "\n\n".join(format_fault(f) for f in faults)
    )


# ---- faults with a test of their own -------------------------------------------------


def run_snippet(code, timeout=120):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout, errors="backslashreplace")


def assert_clean(result):
    assert result.returncode == 0, (
        f"exit status {result.returncode}\n--- stdout\n{result.stdout[-3000:]}\n--- stderr\n{result.stderr[-3000:]}"
    )


def test_propagation_depth_is_not_bounded_by_the_callers_stack():
    # A chain of typed nodes without terms, then one edge that gives the
    # chain's first node a term: the term propagates along the whole chain.
    # The caller here has a 1 MiB stack (as threads have on some systems).
    result = run_snippet(
        """
        import threading
        from velmora import Constant, Graph

        N = 1500
        g = Graph([Constant("f", "* -> *"), Constant("c", "C")])
        for i in range(N):
            g.query().create(f"(a:T{i})-[e]->(b:T{i + 1})").execute()
        assert all(n.term() is None for n in g.nodes())
        errors = []

        def give_term():
            try:
                g.query().create("(c:C)-[e]->(a:T0)").execute()
            except BaseException as exc:
                errors.append(exc)

        threading.stack_size(1 << 20)
        worker = threading.Thread(target=give_term)
        worker.start()
        worker.join()
        assert not errors, errors
        terms = {str(n.type()): n.term() for n in g.nodes()}
        assert all(t is not None for t in terms.values()), [k for k, t in terms.items() if t is None][:5]
        assert str(terms["T2"]) == "(f (f (f c)))"
        """
    )
    assert_clean(result)


def test_removing_every_node_of_a_chain_leaves_nothing():
    # Removal of both ends of many edges at once, on the pool's threads.
    result = run_snippet(
        """
        from velmora import Constant, Graph

        for attempt in range(20):
            g = Graph([Constant("e", "* -> *")])
            for i in range(39):
                g.query().create(f"(a:N{i})-[e]->(b:N{i + 1})").execute()
            g.query().match("(a)").remove("a").execute()
            assert g.nodes() == [] and g.edges() == [], (attempt, len(g.nodes()), len(g.edges()))
        """
    )
    assert_clean(result)


def test_a_term_that_would_contain_itself_is_never_stored():
    result = run_snippet(
        """
        from velmora import Constant, Graph

        g = Graph([Constant("f", "* -> *"), Constant("b0", "B")])
        g.query().create("(b:B)").execute()
        try:
            g.query().match("(b:B)").create("(:X)<-[]-(:X)<-[]-(b)").execute()
        except (ValueError, KeyError, TypeError, RuntimeError) as exc:
            print("refused:", type(exc).__name__)
        texts = [str(n) for n in g.nodes()]
        assert texts, texts
        """
    )
    assert_clean(result)


def test_a_failed_creation_leaves_no_half_edge():
    result = run_snippet(
        """
        from velmora import Constant, Graph

        g = Graph([Constant("f", "* -> *")])
        try:
            g.query().create("(y:A)-[e]->(y:B)").execute()
        except IndexError as exc:  # the edge to a type without a node is refused
            assert "(add edge)" in str(exc).splitlines()[0], str(exc)
        assert g.query().match("(a)-[e]->(b)").return_("a", "b") == []
        nodes = {n.uid() for n in g.nodes()}
        assert all(s in nodes and t in nodes for s, t in (e.uid() for e in g.edges()))
        for n in g.nodes():
            str(n)
            ty = str(n.type())
            g.query().match(f"(a:{ty})-[e]->(b)").return_("a", "b")
            g.query().match(f"(a:{ty})<-[e]-(b)").return_("a", "b")
        """
    )
    assert_clean(result)
