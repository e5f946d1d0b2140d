"""One thread and every thread give the same answers.

Seeded random cases: a graph of type-variable nodes with int, str and float
properties, joined by edges that `Constant("f", "* -> *")` types, then a run of
matches (nodes, edges, paths, property blocks), creations under `limit`, sets
and removals. Each case runs in two child processes, one whose pool has a
single thread (RAYON_NUM_THREADS=1) and one with the default pool, and every
observation is compared: the rows of a match as a sorted list of uids and
properties, the whole store after each change, and the text of every error.

This file is also the child: `python3 test_thread_equivalence.py FIRST COUNT`
prints one JSON line of observations per seed.
"""

import json
import os
import random
import subprocess
import sys

SEEDS = int(os.environ.get("VELMORA_THREAD_CASES", "48"))
KEYS = ["k", "s", "w"]


# ---- the child ------------------------------------------------------------------------


def literal(rng):
    # Few values, so that property blocks in matches find something.
    return rng.choice([str(rng.randint(-1, 2)), f"'s{rng.randrange(2)}'", f"{rng.randrange(-1, 2) / 2}"])


def props_block(rng):
    keys = rng.sample(KEYS, 1 if rng.random() < 0.8 else 2)
    return "{" + ", ".join(f"{key}: {literal(rng)}" for key in keys) + "}"


def node_pattern(rng, var, types):
    text = var or ""
    if rng.random() < 0.25:
        text += f":T{rng.randrange(types)}"
    if rng.random() < 0.3:
        text += " " + props_block(rng)
    return f"({text})"


def edge_pattern(rng, var):
    inner = (var or "") + (" " + props_block(rng) if rng.random() < 0.15 else "")
    return f"-[{inner}]->" if rng.random() < 0.7 else f"<-[{inner}]-"


def path_pattern(rng, types, nodes=None):
    """A path of 1 to 3 nodes; the last may close it onto the first."""
    nodes = nodes or rng.choice([1, 2, 2, 2, 3, 3])
    names = ["a", "b", "c"][:nodes]
    if nodes == 3 and rng.random() < 0.2:
        names[2] = "a"
    text = node_pattern(rng, names[0], types)
    for i in range(1, nodes):
        var = names[i]
        node = f"({var})" if var in names[:i] else node_pattern(rng, var, types)
        text += edge_pattern(rng, ["e", "f"][i - 1]) + node
    return text


def canonical(ref):
    props = json.dumps(ref.properties(), sort_keys=True)
    uid = ref.uid()
    return [uid, props] if isinstance(uid, str) else [list(uid), props]


def store(g):
    nodes = sorted([n.uid(), str(n.type()), str(n.term()), json.dumps(n.properties(), sort_keys=True)]
                   for n in g.nodes())
    edges = sorted([list(e.uid()), str(e.term()), json.dumps(e.properties(), sort_keys=True)] for e in g.edges())
    return [nodes, edges]


def shared_limit(g, pattern, limit, target):
    """How many edges `limit(n).match(pattern).create((a)-[]->target)` adds, and whether all join a match to target."""
    starts = {row["a"].uid() for row in g.query().match(pattern).return_("a")}
    before = {e.uid() for e in g.edges()}
    g.query().limit(limit).match(pattern).create(f"(a)-[]->{target}").execute()
    ends = {row["t"].uid() for row in g.query().match(target.replace("(", "(t")).return_("t")}
    added = [e.uid() for e in g.edges() if e.uid() not in before]
    return [len(added), all(s in starts and t in ends for s, t in added)]


def run_case(seed):
    from velmora import Constant, Graph

    rng = random.Random(seed)
    types = rng.choice([8, 30, 120, 600, 1500])
    g = Graph([Constant("f", "* -> *")])
    creations = []
    for i in range(types):
        block = " " + props_block(rng) if rng.random() < 0.8 else ""
        creations.append(f"(:T{i}{block})")
    for _ in range(rng.randint(types, 4 * types)):
        a, b = rng.randrange(types), rng.randrange(types)
        block = " " + props_block(rng) if rng.random() < 0.3 else ""
        creations.append(f"(:T{a})-[{block}]->(:T{b})")
    for i in range(0, len(creations), 20):  # a query grows by a copy: short ones
        q = g.query()
        for text in creations[i:i + 20]:
            q = q.create(text)
        q.execute()
    seen = [store(g)]

    def observe(what, call):
        try:
            seen.append([what, call()])
        except Exception as exc:  # the error text must not depend on the pool either
            seen.append([what, f"{type(exc).__name__}: {exc}"])

    for step in range(rng.randint(8, 16)):
        pattern = path_pattern(rng, types)
        bound = sorted({v for v in "abcef" if f"({v}" in pattern or f"[{v}" in pattern})
        r = rng.random()
        if r < 0.45:
            chosen = rng.sample(bound, rng.randint(1, len(bound)))
            if rng.random() < 0.05:
                chosen.append("zz")  # unbound: an error

            def rows(pattern=pattern, chosen=chosen):
                found = g.query().match(pattern).return_(*chosen)
                return sorted([[v, canonical(row[v])] for v in chosen] for row in found)

            observe(f"match {pattern} return {chosen}", rows)
            continue
        if r < 0.6:
            limit, target = rng.randrange(4), f"(:N{step})" if rng.random() < 0.5 else f"(:T{rng.randrange(types)})"
            if rng.random() < 0.15:
                # One counter that every match shares: which matches get the
                # creations is left open, so only their count is compared,
                # and the stores part ways here.
                observe(f"limit({limit}) match({pattern!r}) create('(a)-[]->{target}')",
                        lambda: shared_limit(g, pattern, limit, target))
                break
            calls = [("match", pattern), ("limit", limit), ("create", f"(a)-[]->{target}")]
        elif r < 0.85:
            var = rng.choice(bound) if rng.random() < 0.95 else "zz"  # zz: unbound, an error
            block = {key: rng.choice([rng.randint(0, 5), f"s{rng.randrange(2)}", rng.randrange(4) / 2])
                     for key in rng.sample(KEYS, rng.randint(0, 2))}
            calls = [("match", pattern), ("set", var, block, rng.random() < 0.5)]
        else:
            calls = [("match", pattern), ("remove", *rng.sample(bound, rng.randint(1, len(bound))))]
        if rng.random() < 0.05:
            calls.append(("match", "(a"))  # does not parse: an error

        def execute(calls=calls):
            query = g.query()
            for name, *args in calls:
                query = getattr(query, name)(*args)
            query.execute()

        observe(" ".join(f"{name}{tuple(args)}" for name, *args in calls), execute)
        seen.append(store(g))
    return seen


def child(first, count):
    for seed in range(first, first + count):
        print(json.dumps([seed, run_case(seed)]), flush=True)


# ---- the comparison -------------------------------------------------------------------


def run_children(threads):
    """Starts one child per quarter of the seeds with the pool at `threads` (None: the default)."""
    env = dict(os.environ)
    env.pop("RAYON_NUM_THREADS", None)
    if threads is not None:
        env["RAYON_NUM_THREADS"] = str(threads)
    quarter = -(-SEEDS // 4)
    return [subprocess.Popen([sys.executable, __file__, str(first), str(min(quarter, SEEDS - first))],
                             env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            for first in range(0, SEEDS, quarter)]


def results(children):
    found = {}
    for proc in children:
        out, err = proc.communicate(timeout=300)
        assert proc.returncode == 0, f"child exited with status {proc.returncode}\n{err[-3000:]}"
        for line in out.splitlines():
            seed, seen = json.loads(line)
            found[seed] = seen
    return found


def first_difference(one, every):
    for i, (x, y) in enumerate(zip(one, every)):
        if x == y:
            continue
        before = next((o[0] for o in reversed(one[:i + 1]) if isinstance(o[0], str)), "building")
        if not isinstance(x[0], str):  # the store: what only one side holds
            x, y = ([json.dumps(item) for part in side for item in part] for side in (x, y))
            x, y = sorted(set(x) - set(y))[:6], sorted(set(y) - set(x))[:6]
        return f"observation {i} (after {before!r}):\n  1 thread: {str(x)[:1500]}\n  all:      {str(y)[:1500]}"
    return f"{len(one)} observations with 1 thread, {len(every)} with all"


def test_one_thread_and_every_thread_agree():
    started = run_children(1), run_children(None)
    try:
        one, every = results(started[0]), results(started[1])
    finally:
        for proc in started[0] + started[1]:
            proc.kill()
    assert sorted(one) == sorted(every) == list(range(SEEDS))
    differ = [seed for seed in range(SEEDS) if one[seed] != every[seed]]
    assert not differ, f"seeds {differ} differ; seed {differ[0]}, " + first_difference(one[differ[0]], every[differ[0]])


if __name__ == "__main__":
    child(int(sys.argv[1]), int(sys.argv[2]))
