import gc
import resource
import sys

from velmora import Constant, Graph


def run_round(graph, payload, rounds):
    for _ in range(rounds):
        rows = graph.query().match("(x:A)").set("x", {"o": payload, "l": [payload]}).return_("x")
        assert rows[0]["x"].properties()["o"] is payload


def rss_kib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def test_ten_thousand_queries_leak_no_references_or_memory():
    graph = Graph([Constant("a", "A")])
    graph.query().create("(x:A)").execute()
    payload = object()
    start = sys.getrefcount(payload)
    run_round(graph, payload, 2000)  # warm-up: caches, pool threads, allocator arenas
    gc.collect()
    warm = rss_kib()
    run_round(graph, payload, 10_000)
    gc.collect()
    measured = rss_kib()
    # Drop the stored copies: the node's map is replaced, and the released
    # references are handed back at the end of the call.
    graph.query().match("(x:A)").set("x", {}).execute()
    assert sys.getrefcount(payload) == start
    assert measured - warm < 8 * 1024, f"peak RSS grew by {measured - warm} KiB"
