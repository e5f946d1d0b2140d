"""The store keeps its data, and the interpreter stays up, under the inputs
that press on them most: removals of adjacent nodes racing on the pool, long
chains of propagated terms, terms that would contain themselves, and edges
that fail half-way."""

import random

import pytest
from conftest import lines_of

from velmora import Constant, Graph


def chain(n, constants=()):
    g = Graph([Constant("e", "* -> *"), *constants])
    for i in range(n):
        g.query().create(f"(a:N{i})-[e]->(b:N{i + 1})").execute()
    return g


def edge_names(g):
    return sorted(str(e) for e in g.edges())


# ---- removal ------------------------------------------------------------------


def test_removing_every_node_of_a_chain_at_once_removes_all():
    # The remove step runs one task per match on the pool: neighbours race on
    # their shared edge in many of these runs.
    for _ in range(40):
        g = chain(39)
        g.query().match("(a)").remove("a").execute()
        assert g.nodes() == [] and g.edges() == []
        assert g.query().match("(a)-[e]->(b)").return_("a") == []


@pytest.mark.parametrize("seed", range(8))
def test_removing_start_nodes_and_edges_matches_a_model(seed):
    rng = random.Random(seed)
    for _ in range(10):
        n = rng.randrange(2, 25)
        g = Graph([Constant("e", "* -> *")])
        for i in range(n):
            g.query().create(f"(a:N{i})").execute()
        edges = set()
        for _ in range(rng.randrange(1, 3 * n)):
            a, b = rng.randrange(n), rng.randrange(n)
            g.query().create(f"(a:N{a})-[e]->(b:N{b})").execute()
            edges.add((a, b))
        # Every start node and every edge, in one query.
        g.query().match("(a)-[e]->(b)").remove("a", "e").execute()
        starts = {a for a, _ in edges}
        assert sorted(str(x) for x in g.nodes()) == sorted(f"Node(N{i}: {{}})" for i in range(n) if i not in starts)
        assert g.edges() == []
        assert g.query().match("(a)-[e]->(b)").return_("a") == []


@pytest.mark.parametrize("seed", range(6))
def test_removed_nodes_come_back_with_the_next_creation_that_names_them(seed):
    # A node removed and then named again, as an edge's end or on its own,
    # must be stored again, with the edges made after its return.
    rng = random.Random(seed)
    n = 12
    g = Graph([Constant("e", "* -> *")])
    nodes, edges = set(), set()
    for _ in range(300):
        a, b = rng.randrange(n), rng.randrange(n)
        op = rng.randrange(4)
        if op == 0:
            g.query().create(f"(:N{a})").execute()
            nodes.add(a)
        elif op == 1:
            g.query().match(f"(x:N{a})").remove("x").execute()
            nodes.discard(a)
            edges = {(s, t) for s, t in edges if a not in (s, t)}
        else:
            g.query().create(f"(:N{a})-[]->(:N{b})").execute()
            nodes |= {a, b}
            edges.add((a, b))
    assert sorted(str(x) for x in g.nodes()) == sorted(f"Node(N{i}: {{}})" for i in nodes)
    assert edge_names(g) == sorted(f"Edge((N{s} -> N{t}):e {{}})" for s, t in edges)
    assert len(g.query().match("(a)-[]->(b)").return_("a")) == len(edges)


# ---- depth --------------------------------------------------------------------


def test_a_chain_of_a_hundred_thousand_nodes_propagates_and_renders():
    n = 100_000
    g = Graph([Constant("f", "* -> *"), Constant("a", "N0")])
    for i in range(1, n):
        g.query().create(f"(x:N{i})-[e]->(y:N{i + 1})").execute()
    # The last edge gives N0's term to the whole chain at once.
    g.query().create("(x:N0)-[e]->(y:N1)").execute()
    (row,) = g.query().match(f"(x:N{n})").return_("x")
    text = str(row["x"].term())
    assert len(text) == 4 * n + 1
    assert text.startswith("(f (f (f ") and text.index("a") == 3 * n
    (row,) = g.query().match(f"(x:N{n - 1})-[e]->(y:N{n})").return_("e")
    assert str(row["e"]) == f"Edge((N{n - 1} -> N{n}):f {{}})"
    g.query().match("(a)").remove("a").execute()
    assert g.nodes() == [] and g.edges() == []


# ---- terms that would contain themselves ----------------------------------------


@pytest.mark.parametrize(
    "constants, setup, make",
    [
        # The self-loop X -> X and the edge B -> X give the first X (f (f b0)).
        ([("f", "* -> *"), ("b0", "B")], "(b:B)", lambda g: g.query().match("(b:B)").create("(:X)<-[]-(:X)<-[]-(b)")),
        ([("f", "* -> *"), ("b0", "B")], None, lambda g: g.query().create("(:X)<-[]-(:X)<-[]-(:B)")),
    ],
)
def test_a_term_that_would_contain_itself_is_refused(constants, setup, make):
    g = Graph([Constant(*c) for c in constants])
    if setup:
        g.query().create(setup).execute()
    before = sorted(str(n) for n in g.nodes())
    q = make(g)
    with pytest.raises(ValueError) as info:
        q.execute()
    assert lines_of(str(info.value))[0] == (
        "Invalid Term: 'term contains a sub-term of the same type as a term enclosing it'"
    )
    # Nothing of the refused step is stored, and everything renders.
    assert sorted(str(n) for n in g.nodes()) == before
    assert g.edges() == []


def test_a_node_keeps_the_term_it_has_when_a_deeper_one_comes():
    # Forward, the first X stores (f b0): the second X's (f (f b0)) is dropped.
    g = Graph([Constant("f", "* -> *"), Constant("b0", "B")])
    g.query().create("(:B)-[]->(:X)-[]->(:X)").execute()
    assert sorted(str(n) for n in g.nodes()) == ["Node(B:b0 {})", "Node(X:(f b0) {})"]
    assert edge_names(g) == ["Edge((B -> X):f {})", "Edge((X -> X):f {})"]


def test_a_self_loop_with_propagation_keeps_terms_finite():
    g = Graph([Constant("f", "* -> *"), Constant("b0", "B")])
    g.query().create("(b:B)").execute()
    g.query().create("(x:X)-[e]->(y:X)").execute()
    g.query().match("(b:B)").create("(b)-[e]->(x:X)").execute()
    assert sorted(str(n) for n in g.nodes()) == ["Node(B:b0 {})", "Node(X:(f b0) {})"]
    assert edge_names(g) == ["Edge((B -> X):f {})", "Edge((X -> X):f {})"]


# ---- failed edges ----------------------------------------------------------------


@pytest.mark.parametrize(
    "setup, query, nodes",
    [
        (None, lambda g: g.query().create("(y:A)-[e]->(y:B)"), ["Node(A: {})"]),
        ("(y:A)", lambda g: g.query().match("(y:A)").create("(z:C)-[e]->(y:B)"), ["Node(A: {})", "Node(C: {})"]),
    ],
)
def test_a_failed_edge_leaves_no_half_edge(setup, query, nodes):
    g = Graph([Constant("f", "* -> *")])
    if setup:
        g.query().create(setup).execute()
    with pytest.raises(IndexError) as info:
        query(g).execute()
    assert lines_of(str(info.value))[0].startswith("Index Corruption: 'end_to_edge_index not initialized")
    # Walks out of every node work and find nothing.
    for _ in range(2):
        assert g.query().match("(a)-[e]->(b)").return_("a", "b") == []
        assert g.query().match("(b)<-[e]-(a)").return_("a", "b") == []
    assert sorted(str(n) for n in g.nodes()) == nodes
    assert g.edges() == []
    g.query().create("(a:A)-[e]->(b:B)").execute()
    assert edge_names(g) == ["Edge((A -> B):f {})"]
