"""Throughput and memory of the Python surface.

Builds a graph of typed nodes through queries, joins them in a ring, then
matches over it, and prints the rates with the process's peak resident size.
Run: `make bench`, or `PYTHONPATH=build python3 bench/python_bench.py [nodes]`.
"""

import resource
import sys
import time

from velmora import Constant, Graph


def timed(label, count, fn):
    start = time.perf_counter()
    result = fn()
    seconds = time.perf_counter() - start
    print(f"{label:<40} {count:>8} in {seconds:7.3f} s  {count / seconds:12.0f}/s")
    return result


def main():
    nodes = int(sys.argv[1]) if len(sys.argv) > 1 else 5_000
    # Every arrow type has a term, so any edge can be created.
    graph = Graph([Constant("link", "(X:*) -> (Y:*)")])

    def create_nodes():
        for i in range(nodes):
            graph.query().create(f"(n:T{i} {{k: {i % 10}}})").execute()

    def create_edges():
        for i in range(nodes):
            graph.query().match(f"(a:T{i})").match(f"(b:T{(i + 1) % nodes})").create("(a)-[e]->(b)").execute()

    timed("create one node per query", nodes, create_nodes)
    timed("create one edge per query", nodes, create_edges)
    rows = timed("match (a {k: 7})-[e]->(b), rows", nodes // 10,
                 lambda: graph.query().match("(a {k: 7})-[e]->(b)").return_("a", "e", "b"))
    assert len(rows) == nodes // 10, len(rows)
    rows = timed("match (a)-[e]->(b), rows", nodes,
                 lambda: graph.query().match("(a)-[e]->(b)").return_("e"))
    assert len(rows) == nodes, len(rows)
    timed("node list with properties", nodes, lambda: [n.properties() for n in graph.nodes()])
    peak_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(f"peak resident size: {peak_kib / 1024:.1f} MiB ({peak_kib * 1024 / nodes:.0f} bytes a node, all included)")


if __name__ == "__main__":
    main()
