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
