import pytest
from conftest import lines_of

from velmora import Constant, Graph


@pytest.fixture
def graph():
    g = Graph([Constant("a", "A"), Constant("f", "A -> B")])
    g.query().create("(x:A)-[e]->(y:B)").execute()
    return g


def by_type(g):
    return {str(n.type()): n for n in g.nodes()}


def test_node_parts(graph):
    nodes = by_type(graph)
    a, b = nodes["A"], nodes["B"]
    assert a.uid() == a.type().uid() == a.term().uid()
    assert len(a.uid()) == 64 and a.uid() == a.uid().lower()
    assert str(a) == repr(a) == "Node(A:a {})"
    assert str(b) == "Node(B:(f a) {})"
    assert str(b.term()) == "(f a)"


def test_node_without_term(graph):
    graph.query().create("(z:Z)").execute()
    z = by_type(graph)["Z"]
    assert z.term() is None
    assert str(z) == "Node(Z: {})"


def test_edge_parts(graph):
    (edge,) = graph.edges()
    nodes = by_type(graph)
    assert edge.uid() == (nodes["A"].uid(), nodes["B"].uid())
    left, right = edge.type().as_arrow()
    assert (left.uid(), right.uid()) == edge.uid()
    assert str(edge.type()) == "(A -> B)" and edge.type().as_var() is None
    assert str(edge.term()) == "f"
    assert str(edge) == "Edge((A -> B):f {})"
    assert nodes["A"].type().as_var() == "A" and nodes["A"].type().as_arrow() is None


def test_comparisons(graph):
    a = by_type(graph)["A"]
    again = by_type(graph)["A"]
    assert a == again and not (a != again)
    assert a != a.type() and not (a == a.type())
    other = Graph([Constant("a", "A")])
    other.query().create("(x:A)").execute()
    assert by_type(other)["A"] == a
    with pytest.raises(TypeError):
        a < again
    with pytest.raises(TypeError):
        hash(a)
    with pytest.raises(TypeError):
        {a.type()}


def test_after_removal(graph):
    (edge,) = graph.edges()
    a = by_type(graph)["A"]
    graph.query().match("(x:A)").remove("x").execute()
    assert a.uid()
    with pytest.raises(KeyError) as info:
        a.properties()
    assert lines_of(info.value.args[0]) == [
        f"Node with Uid: '{a.uid()}' not found (node properties)",
        "node reference - get properties",
    ]
    with pytest.raises(KeyError) as info:
        str(a)
    assert lines_of(info.value.args[0]) == [f"Node with Uid: '{a.uid()}' not found (node to string)"]
    with pytest.raises(KeyError) as info:
        edge.properties()
    assert lines_of(info.value.args[0])[-1] == "edge reference - get properties"
    with pytest.raises(KeyError) as info:
        edge.type()
    assert lines_of(info.value.args[0])[-1] == "edge - type"
    assert str(a.term()) == "a"  # terms stay


def test_properties_are_copies(graph):
    graph.set_node_properties({by_type(graph)["A"].uid(): {"k": [1, 2]}})
    a = by_type(graph)["A"]
    props = a.properties()
    props["k"].append(3)
    props["x"] = 1
    assert a.properties() == {"k": [1, 2]}


@pytest.mark.parametrize("cls", ["Node", "Edge", "Type", "Term"])
def test_text_signatures(cls):
    import velmora

    assert getattr(velmora, cls).uid.__text_signature__ == "($self)"


# Every way a reference is made, each giving (reference, its text given the
# graph's number i and the value v of its source node's property k).
REFERENCE_MAKERS = {
    "return_ node": lambda g: (g.query().match("(a)-[]->(b)").return_("a")[0]["a"], "Node(S{i}: {{k: {v}}})"),
    "return_ edge": lambda g: (g.query().match("(a)-[e]->(b)").return_("e")[0]["e"], "Edge((S{i} -> D{i}):f {{}})"),
    "nodes()": lambda g: (next(n for n in g.nodes() if str(n.type()).startswith("D")), "Node(D{i}: {{}})"),
    "edges()": lambda g: (g.edges()[0], "Edge((S{i} -> D{i}):f {{}})"),
    "node.type()": lambda g: (g.query().match("(a)-[]->(b)").return_("b")[0]["b"].type(), "D{i}"),
    "edge.term()": lambda g: (g.edges()[0].term(), "f"),
    "type.as_arrow()": lambda g: (g.edges()[0].type().as_arrow()[0], "S{i}"),
}


def test_references_made_in_any_order_show_their_own_store():
    """References of several graphs, made, dropped and outliving their graphs
    in a random order, each show the current state of their own store."""
    import random

    rng = random.Random(7)
    graphs, values, refs = {}, {}, []

    def new_graph(i):
        g = Graph([Constant("f", "* -> *")])
        g.query().create(f"(:S{i} {{k: 0}})-[]->(:D{i})").execute()
        graphs[i], values[i] = g, 0

    for i in range(3):
        new_graph(i)
    for step in range(300):
        live = sorted(graphs)
        action = rng.random()
        if action < 0.5 and live:
            i = rng.choice(live)
            ref, text = REFERENCE_MAKERS[rng.choice(sorted(REFERENCE_MAKERS))](graphs[i])
            refs.append((i, ref, text))
        elif action < 0.65 and live:
            i = rng.choice(live)
            values[i] += 1
            graphs[i].query().match(f"(a:S{i})").set("a", {"k": values[i]}).execute()
        elif action < 0.75 and live:
            del graphs[rng.choice(live)]  # its references keep its store
        elif action < 0.85 and refs:
            refs.pop(rng.randrange(len(refs)))
        else:
            new_graph(step + 3)
        for i, ref, text in refs:
            assert str(ref) == text.format(i=i, v=values[i])


def test_references_agree_however_made():
    """A reference from a match, from a created binding, from the graph's
    lists and from another reference name the same thing, and keep naming
    it after a removal and after the graph object is gone."""
    import gc

    g = Graph([Constant("f", "* -> *")])
    created = g.query().create("(s:S {k: 1})-[e]->(d:D)").return_("s", "e", "d")[0]
    matched = g.query().match("(s {k: 1})-[e]->(d)").return_("s", "e", "d")[0]
    (edge,) = g.edges()
    nodes = {str(n.type()): n for n in g.nodes()}
    listed = {"s": nodes["S"], "e": edge, "d": nodes["D"]}
    for name in ("s", "e", "d"):
        assert created[name] == matched[name] == listed[name]
        assert created[name].uid() == matched[name].uid() == listed[name].uid()
    assert matched["e"].uid() == (matched["s"].uid(), matched["d"].uid())
    assert matched["e"].type() == edge.type() and matched["s"].type() == nodes["S"].type()
    uids = {name: ref.uid() for name, ref in matched.items()}
    g.query().match("(s:S)").remove("s").execute()
    del g, created, listed, nodes, edge
    gc.collect()
    assert {name: ref.uid() for name, ref in matched.items()} == uids
    assert str(matched["d"]) == "Node(D: {})"
    with pytest.raises(KeyError):
        matched["s"].properties()
