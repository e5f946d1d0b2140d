"""W4 (every edge with both ends) against the cost of the Python objects it returns.

The graph: N nodes, node i the type variable `T{i}` with `{k: i % 100}`, made
one query each, then about 4N seeded random edges `(:Ta)-[]->(:Tb)` (no
self-loops, no repeated pair) whose terms come from `Constant("f", "* -> *")`.

Prints
  (a) the floor: building as many dicts of two fresh small objects as W4 has rows;
  (b) W4, `match("(a)-[]->(b)").return_("a", "b")`, and its ratio to the floor;
  (c) `execute` alone of `match("(a)-[]->(b)")` with one thread and with every
      thread, and the speed-up. The pool's size is fixed per process by
      RAYON_NUM_THREADS, so each count runs in a child that builds the graph anew.
Run: `make bench`, or `PYTHONPATH=build python3 bench/w4_bench.py [N]`.
"""

import gc
import os
import random
import subprocess
import sys
import time

from velmora import Constant, Graph

REPS = 5
W4 = "(a)-[]->(b)"


def build(n):
    rng = random.Random(20000)
    edges = set()
    while len(edges) < 4 * n:
        a, b = rng.randrange(n), rng.randrange(n)
        if a != b:
            edges.add((a, b))
    g = Graph([Constant("f", "* -> *")])
    for i in range(n):
        g.query().create(f"(:T{i} {{k: {i % 100}}})").execute()
    for a, b in sorted(edges):
        g.query().create(f"(:T{a})-[]->(:T{b})").execute()
    return g


def best(fn, reps=REPS):
    """The shortest of `reps` runs, in seconds, with the last result."""
    times = []
    for _ in range(reps):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    return min(times), result


class Ref:
    """Stands for a returned reference: the smallest instance of a class of our own."""

    __slots__ = ()


def execute_seconds(n):
    g = build(n)
    seconds, _ = best(lambda: g.query().match(W4).execute())
    return seconds


def in_child(n, threads):
    """`execute_seconds(n)` in a child process whose pool has `threads` threads (None: the default)."""
    env = dict(os.environ)
    env.pop("RAYON_NUM_THREADS", None)
    if threads is not None:
        env["RAYON_NUM_THREADS"] = str(threads)
    out = subprocess.run([sys.executable, __file__, str(n), "--execute"], env=env, check=True,
                         capture_output=True, text=True).stdout
    return float(out)


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 20_000
    if "--execute" in sys.argv:
        print(execute_seconds(n))
        return
    g = build(n)
    w4, rows = best(lambda: g.query().match(W4).return_("a", "b"))
    count = len(rows)
    del rows
    # The floor is taken with the cyclic collector off: instances of a Python
    # class are tracked by it and would make their dicts tracked too, and its
    # passes (most of the time with it on) are a cost the returned rows, whose
    # values it does not track, never pay.
    gc.disable()
    try:
        floor, _ = best(lambda: [{"a": Ref(), "b": Ref()} for _ in range(count)])
    finally:
        gc.enable()
    print(f"W4 at N={n}: {count} rows")
    threads = len(os.sched_getaffinity(0))
    one, every = in_child(n, 1), in_child(n, None)
    speedup = one / every
    print(f"  (a) Python-object floor    {floor * 1e3:9.2f} ms")
    print(f"  (b) W4 return_             {w4 * 1e3:9.2f} ms   {w4 / floor:.2f} x the floor")
    print(f"  (c) execute, {1:>2} thread     {one * 1e3:9.2f} ms")
    print(f"      execute, {threads:>2} threads    {every * 1e3:9.2f} ms   speed-up {speedup:.2f},"
          f" {speedup / threads:.2f} a thread")

if __name__ == "__main__":
    main()
