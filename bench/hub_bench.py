"""Removing many neighbours of one hub, beside networkx when it is installed.

A star: one hub H with an edge to each of `leaves` leaves L<i>, one create
per edge. A tenth of the leaves get `gone: true`, untimed; then one query
removes them (`nodes`), or the edges from the hub to them (`edges`). Each
removal takes one id out of the hub's edge list, so the removal's time says
whether that costs O(1) or O(degree) in the hub's degree: run it at two sizes.
networkx's `DiGraph` does the same with `remove_nodes_from` and
`remove_edges_from`.

Run: `PYTHONPATH=build python3 bench/hub_bench.py [leaves] [nodes|edges|both]
[velmora|networkx|both]`; it prints one line per measurement.
"""

import hashlib
import sys
import time


def uid(name):
    return hashlib.sha256(b"var:" + name.encode()).hexdigest()


def gone_leaves(leaves):
    return range(0, leaves, 10)


def velmora_star(leaves, mode):
    from velmora import Constant, Graph

    g = Graph([Constant("f", "* -> *")])
    q = g.query
    start = time.perf_counter()
    for i in range(leaves):
        q().create("(:H)-[]->(:L%d)" % i).execute()
    built = time.perf_counter() - start
    if mode == "nodes":
        g.set_node_properties({uid("L%d" % i): {"gone": True} for i in gone_leaves(leaves)}, overwrite=False)
        start = time.perf_counter()
        q().match("(a {gone: true})").remove("a").execute()
    else:
        hub = uid("H")
        g.set_edge_properties({(hub, uid("L%d" % i)): {"gone": True} for i in gone_leaves(leaves)}, overwrite=False)
        start = time.perf_counter()
        q().match("(a)-[e {gone: true}]->(b)").remove("e").execute()
    removed = time.perf_counter() - start
    left = len(q().match("(:H)-[]->(b)").return_("b"))
    assert left == leaves - len(gone_leaves(leaves)), left
    return built, removed


def networkx_star(leaves, mode):
    import networkx as nx

    g = nx.DiGraph()
    start = time.perf_counter()
    for i in range(leaves):
        g.add_edge("H", "L%d" % i)
    built = time.perf_counter() - start
    start = time.perf_counter()
    if mode == "nodes":
        g.remove_nodes_from(["L%d" % i for i in gone_leaves(leaves)])
    else:
        g.remove_edges_from([("H", "L%d" % i) for i in gone_leaves(leaves)])
    removed = time.perf_counter() - start
    assert g.out_degree("H") == leaves - len(gone_leaves(leaves))
    return built, removed


def main():
    leaves = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    modes = ["nodes", "edges"] if len(sys.argv) <= 2 or sys.argv[2] == "both" else [sys.argv[2]]
    systems = {"velmora": velmora_star, "networkx": networkx_star}
    if len(sys.argv) > 3 and sys.argv[3] != "both":
        systems = {sys.argv[3]: systems[sys.argv[3]]}
    for mode in modes:
        for name, run in systems.items():
            try:
                built, removed = run(leaves, mode)
            except ImportError:
                print(f"{name:<9} {mode:<6} unavailable")
                continue
            print(f"{name:<9} {mode:<6} leaves {leaves:>7}  build {built:7.3f} s  "
                  f"remove {len(gone_leaves(leaves)):>6} in {removed:8.4f} s")


if __name__ == "__main__":
    main()
