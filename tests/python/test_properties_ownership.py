"""Each node and edge owns its property map.

One overwrite (a query's set step over many matches, or a bulk setter) gives
several rows the same properties; a later merge into one of them must change
that row alone, and never the map recorded in the query.
"""

import pytest

from velmora import Constant, Graph


def two_rows(kind):
    """Two nodes (types A and B) joined to C and D by edges (terms f and g),
    every node and edge carrying {k: 1}; returns the graph and the pattern
    that matches the two rows of `kind`."""
    g = Graph([Constant("f", "A -> C"), Constant("g", "B -> D")])
    g.query().create("(a:A {k: 1})-[e {k: 1}]->(c:C)").execute()
    g.query().create("(b:B {k: 1})-[e {k: 1}]->(d:D)").execute()
    return g, "(x {k: 1})" if kind == "node" else "()-[x {k: 1}]->()"


def rows(g, kind):
    """The rows of `kind`, keyed by the type of the node (the start node for an edge)."""
    if kind == "node":
        return {str(n.type()): n for n in g.nodes() if str(n.type()) in ("A", "B")}
    types = {n.uid(): str(n.type()) for n in g.nodes()}
    return {types[e.uid()[0]]: e for e in g.edges()}


def overwrite_with_query(g, kind, pattern, props):
    q = g.query().match(pattern).set("x", props)
    q.execute()
    return q


def overwrite_with_setter(g, kind, pattern, props):
    setter = g.set_node_properties if kind == "node" else g.set_edge_properties
    setter({row.uid(): props for row in rows(g, kind).values()})
    return None


def merge_with_query(g, kind, row, props):
    pattern = "(x:A)" if kind == "node" else "(:A)-[x]->()"
    g.query().match(pattern).set("x", props, overwrite=False).execute()


def merge_with_setter(g, kind, row, props):
    setter = g.set_node_properties if kind == "node" else g.set_edge_properties
    setter({row.uid(): props}, overwrite=False)


@pytest.mark.parametrize("kind", ["node", "edge"])
@pytest.mark.parametrize("overwrite", [overwrite_with_query, overwrite_with_setter])
@pytest.mark.parametrize("merge", [merge_with_query, merge_with_setter])
def test_merge_after_overwrite_changes_one_row(kind, overwrite, merge):
    g, pattern = two_rows(kind)
    q = overwrite(g, kind, pattern, {"z": 0})
    before = rows(g, kind)
    assert {t: r.properties() for t, r in before.items()} == {"A": {"z": 0}, "B": {"z": 0}}

    merge(g, kind, before["A"], {"only_a": 1})

    after = {t: r.properties() for t, r in rows(g, kind).items()}
    assert after == {"A": {"z": 0, "only_a": 1}, "B": {"z": 0}}
    if q is not None:
        assert str(q) == f"MATCH {pattern}\nSET x = {{z: 0}}\n"


@pytest.mark.parametrize("kind", ["node", "edge"])
@pytest.mark.parametrize("merge", [merge_with_query, merge_with_setter])
def test_merge_into_created_row_changes_one_row(kind, merge):
    # Both rows were created from equal blocks, and nothing wrote them since.
    g, pattern = two_rows(kind)
    merge(g, kind, rows(g, kind)["A"], {"only_a": 1, "k": 2})
    after = {t: r.properties() for t, r in rows(g, kind).items()}
    assert after == {"A": {"k": 2, "only_a": 1}, "B": {"k": 1}}
    assert len(g.query().match(pattern).return_("x")) == 1


@pytest.mark.parametrize("kind", ["node", "edge"])
def test_rerun_query_applies_its_recorded_map(kind):
    g, pattern = two_rows(kind)
    given = {"k": 1, "z": 0, "list": [1]}
    q = overwrite_with_query(g, kind, pattern, given)
    merge_with_query(g, kind, None, {"z": 5, "only_a": 1})
    q.execute()  # the recorded map is as given, so both rows come back to it
    after = {t: r.properties() for t, r in rows(g, kind).items()}
    assert after == {"A": given, "B": given}


def test_caller_dict_is_converted_not_kept():
    g, pattern = two_rows("node")
    props = {"z": [0]}
    q = overwrite_with_query(g, "node", pattern, props)
    props["z"].append(1)
    props["y"] = 2
    assert {t: r.properties() for t, r in rows(g, "node").items()} == {"A": {"z": [0]}, "B": {"z": [0]}}
    assert str(q).endswith("SET x = {z: [0]}\n")
