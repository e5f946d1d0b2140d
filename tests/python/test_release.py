"""When a stored Python value is released.

A value stored as a property is released as soon as its last holder goes:
dropping a graph, a view, a query or a reference object, or overwriting or
removing what carries it. Nothing further has to be called on the module for
`__del__`, weakref callbacks and finalisers to run, and they may call back into
the module.
"""

import os
import subprocess
import sys
import tempfile
import textwrap
import threading
import weakref

import pytest

from velmora import Constant, Graph


# ---- what is stored: three ways a Python value notices its release


class Finalised:
    def __init__(self, on_release):
        self.on_release = on_release

    def __del__(self):
        self.on_release()


class Plain:
    pass


def with_del(on_release, keep):
    return Finalised(on_release)


def with_weakref_callback(on_release, keep):
    obj = Plain()
    keep.append(weakref.ref(obj, lambda _: on_release()))
    return obj


def with_open_resource(on_release, keep):
    # The directory is removed by the object's finaliser; `on_release` runs
    # from a second finaliser registered after it.
    directory = tempfile.TemporaryDirectory()
    keep.append(directory.name)
    weakref.finalize(directory, on_release)
    return directory


SENTINELS = {"__del__": with_del, "weakref callback": with_weakref_callback, "open resource": with_open_resource}


class Probe:
    """Makes stored values and records their releases (and what a release saw)."""

    def __init__(self, sentinel="__del__"):
        self.released = []
        self.keep = []
        self.sentinel = SENTINELS[sentinel]
        self.callback = None

    def make(self):
        def on_release():
            self.released.append(self.callback() if self.callback else True)

        return self.sentinel(on_release, self.keep)

    def gone(self):
        return self.released and all(not os.path.exists(p) for p in self.keep if isinstance(p, str))


# ---- the holders: each builds a state whose last holder of the value is
# `env`'s content, and a way to drop that holder


def node_graph():
    g = Graph([Constant("a", "A"), Constant("f", "A -> B")])
    g.query().create("(x:A)-[e]->(y:B)").execute()
    return g


def a_uid(g):
    return g.query().match("(x:A)").return_("x")[0]["x"].uid()


def on_node(value):
    g = node_graph()
    g.set_node_properties({a_uid(g): {"o": value, "l": [1, {"deep": value}]}})
    return g


def on_edge(value):
    g = node_graph()
    (edge,) = g.edges()
    g.set_edge_properties({edge.uid(): {"o": value}})
    return g


def graph_holder(value):
    return {"graph": on_node(value)}


def view_holder(value):
    g = on_node(value)
    return {"view": g.subgraph([a_uid(g)])}


def query_holder(value):
    g = node_graph()
    return {"q": g.query().match("(x:A)").set("x", {"o": value}), "g": g}


def query_copy_holder(value):
    g = node_graph()
    q = g.query().match("(x:A)").set("x", {"o": value})
    return {"q": q.limit(3), "g": g}


def node_ref_holder(value):
    (row,) = on_node(value).query().match("(x:A)").return_("x")
    return {"ref": row["x"]}


def edge_ref_holder(value):
    (edge,) = on_edge(value).edges()
    return {"ref": edge}


def type_ref_holder(value):
    (row,) = on_node(value).query().match("(x:A)").return_("x")
    return {"ref": row["x"].type()}


def term_ref_holder(value):
    (row,) = on_node(value).query().match("(x:A)").return_("x")
    return {"ref": row["x"].term()}


def drop_all(env):
    env.clear()


def overwrite_by_query(env):
    env["g"].query().match("(x:A)").set("x", {"o": 1}).execute()


def overwrite_by_bulk_setter(env):
    g = env["g"]
    g.set_node_properties({a_uid(g): {}})


def merge_over(env):
    env["g"].query().match("(x:A)").set("x", {"o": None, "l": None}, False).execute()


def remove_node(env):
    env["g"].query().match("(x:A)").remove("x").execute()


def remove_edge(env):
    env["g"].query().match("(x)-[e]->(y)").remove("e").execute()


HOLDERS = {
    "del graph": (graph_holder, drop_all),
    "del subgraph view": (view_holder, drop_all),
    "del query": (query_holder, lambda env: env.pop("q")),
    "del derived query": (query_copy_holder, lambda env: env.pop("q")),
    "del node reference": (node_ref_holder, drop_all),
    "del edge reference": (edge_ref_holder, drop_all),
    "del type reference": (type_ref_holder, drop_all),
    "del term reference": (term_ref_holder, drop_all),
    "overwritten by set": (lambda v: {"g": on_node(v)}, overwrite_by_query),
    "overwritten by bulk setter": (lambda v: {"g": on_node(v)}, overwrite_by_bulk_setter),
    "merged over by set": (lambda v: {"g": on_node(v)}, merge_over),
    "removed node": (lambda v: {"g": on_node(v)}, remove_node),
    "removed edge": (lambda v: {"g": on_edge(v)}, remove_edge),
}


def build(holder, probe):
    make, drop = HOLDERS[holder]
    value = probe.make()
    env = make(value)
    del value
    return env, drop


@pytest.mark.parametrize("sentinel", SENTINELS)
@pytest.mark.parametrize("holder", HOLDERS)
def test_released_when_the_last_holder_goes(holder, sentinel):
    probe = Probe(sentinel)
    env, drop = build(holder, probe)
    assert not probe.released, "still held, yet released"
    drop(env)
    # Nothing of the module has been called since the drop.
    assert probe.gone()
    assert probe.released == [True]


@pytest.mark.parametrize("holder", HOLDERS)
def test_a_release_may_call_back_into_the_module(holder):
    probe = Probe()
    other = node_graph()
    env, drop = build(holder, probe)
    survivor = env.get("g")

    def call_back():
        # A new node in another graph, and a query of the graph that held the
        # value when it is still alive (its locks must all be free by now).
        other.query().create(f"(n:N{len(probe.released)})").execute()
        if survivor is None:
            return None
        return len(survivor.nodes())

    probe.callback = call_back
    drop(env)
    assert len(probe.released) == 1
    assert sorted(str(n.type()) for n in other.nodes()) == ["A", "B", "N0"]
    if survivor is not None:
        assert probe.released[0] == len(survivor.nodes())


def test_graphs_held_by_graphs_are_released_in_a_chain():
    probe = Probe()
    inner = on_node(probe.make())
    for _ in range(3000):
        outer = node_graph()
        outer.set_node_properties({a_uid(outer): {"next": inner}})
        inner = outer
    del outer
    assert not probe.released
    del inner
    assert probe.released == [True]


def test_a_release_that_raises_is_reported_and_the_module_goes_on(monkeypatch):
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: reported.append(u.exc_type))
    probe = Probe()

    def fail():
        raise ZeroDivisionError

    probe.callback = fail
    env = graph_holder(probe.make())
    env.clear()
    assert reported == [ZeroDivisionError]
    assert len(node_graph().nodes()) == 2


def test_a_release_while_an_exception_is_raised_keeps_that_exception():
    # The failing call's bound method is the query's last holder: the query is
    # freed while the parse error is pending, and the release calls back in.
    probe = Probe()
    other = node_graph()
    probe.callback = lambda: other.query().create("(n:N)").execute()
    with pytest.raises(ValueError) as info:
        node_graph().query().match("(x:A)").set("x", {"o": probe.make()}).match("(x")
    assert probe.released == [None]
    assert "(x" in str(info.value)
    assert len(other.nodes()) == 3


@pytest.mark.parametrize("how", ["remove", "overwrite by set", "overwrite by bulk setter"])
def test_releases_dropped_on_pool_threads_happen_by_the_end_of_the_call(how):
    # Enough nodes for the steps to run on the pool.
    count = 6000
    g = Graph()
    for i in range(count):
        g.query().create(f"(x:T{i})").execute()
    probe = Probe()
    g.set_node_properties({n.uid(): {"o": probe.make()} for n in g.nodes()})
    assert not probe.released
    if how == "remove":
        g.query().match("(x)").remove("x").execute()
    elif how == "overwrite by set":
        g.query().match("(x)").set("x", {}).execute()
    else:
        g.set_node_properties({n.uid(): {} for n in g.nodes()})
    assert len(probe.released) == count


def test_a_release_on_another_python_thread_happens_there():
    probe = Probe()
    probe.callback = threading.get_ident
    env = graph_holder(probe.make())
    worker = threading.Thread(target=env.clear)
    worker.start()
    worker.join()
    assert probe.released == [worker.ident]


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="counts threads through /proc")
def test_a_pool_capped_at_one_thread_frees_large_results_without_another_thread():
    """RAYON_NUM_THREADS=1 caps the pool for the freeing of large match sets
    too: no thread beyond those the module started on import ever runs."""
    code = """
        import os
        from velmora import Constant, Graph
        threads = lambda: len(os.listdir("/proc/self/task"))
        at_import = threads()
        g = Graph([Constant("f", "* -> *")])
        for i in range(3000):
            g.query().create(f"(:T{i})-[]->(:T{(i + 1) % 3000})").execute()
        for _ in range(3):
            g.query().match("(a)-[]->(b)").execute()
            rows = g.query().match("(a)-[]->(b)-[]->(c)").return_("a", "c")
        print(at_import, threads(), len(rows))
    """
    env = dict(os.environ, RAYON_NUM_THREADS="1")
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                         timeout=120, env=env)
    assert out.returncode == 0, out.stderr
    at_import, after, rows = map(int, out.stdout.split())
    assert rows == 3000 and after == at_import
