import pytest
from conftest import lines_of

import velmora
from velmora import Constant, Graph

ZERO = "0" * 64


def people_graph():
    """Person and City nodes with terms from constants, and a lives_in edge."""
    g = Graph([Constant("alice", "Person"), Constant("paris", "City"), Constant("lives_in", "Person -> City")])
    g.query().create("(p:Person {name: 'Alice'})-[e]->(c:City)").execute()
    return g


def test_constructor_forms_make_empty_stores():
    for g in (Graph(), Graph(None), Graph([]), Graph(constants=())):
        assert g.nodes() == [] and g.edges() == []


@pytest.mark.parametrize(
    "arg, message",
    [
        ("abc", "argument 'constants': Can't extract `str` to `Vec`"),
        (5, "argument 'constants': 'int' object cannot be cast as 'Sequence'"),
        ([1], "argument 'constants': 'int' object cannot be cast as 'Constant'"),
        ({"a"}, "argument 'constants': 'set' object cannot be cast as 'Sequence'"),
    ],
)
def test_constructor_refuses_non_constants(arg, message):
    with pytest.raises(TypeError) as info:
        Graph(arg)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Graph(None, None), "Graph.__new__() takes from 0 to 1 positional arguments but 2 were given"),
        (lambda: Graph(consts=None), "Graph.__new__() got an unexpected keyword argument 'consts'"),
        (lambda: Graph().subgraph(), "Graph.subgraph() missing 1 required positional argument: 'nodes'"),
        (lambda: Graph().set_node_properties({}, True, 1),
         "Graph.set_node_properties() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda: Graph().set_edge_properties({}, map={}),
         "Graph.set_edge_properties() got multiple values for argument 'map'"),
        (lambda: Graph().subgraph(None), "argument 'nodes': 'NoneType' object cannot be cast as 'Sequence'"),
        (lambda: Graph().subgraph("ab"), "argument 'nodes': Can't extract `str` to `Vec`"),
        (lambda: Graph().set_node_properties([], overwrite=1), "argument 'overwrite': 'int' object cannot be cast as 'bool'"),
        (lambda: Graph().set_node_properties([]), "'list' object cannot be cast as 'dict'"),
        (lambda: Graph().set_node_properties({1: {}}), "'int' object cannot be cast as 'str'"),
        (lambda: Graph().set_edge_properties({"a": {}}), "'str' object cannot be cast as 'tuple'"),
        (lambda: Graph().set_edge_properties({(1, "a"): {}}), "'int' object cannot be cast as 'str'"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_no_argument_methods_refuse_arguments():
    with pytest.raises(TypeError):
        Graph().nodes(1)


def test_last_constant_of_a_name_wins():
    g = Graph([Constant("K", "A"), Constant("K", "B")])
    g.query().create("(x:B)").execute()
    (node,) = g.nodes()
    assert str(node.term()) == "K"
    g.query().create("(y:A)").execute()
    assert {str(n) for n in g.nodes()} == {"Node(B:K {})", "Node(A: {})"}


@pytest.mark.parametrize("seed", range(3))
def test_stores_built_side_by_side_keep_their_own_types(seed):
    # Several stores filled in step on one thread see the same row numbers
    # for different types; each must still name its own types and edges.
    import random

    rng = random.Random(seed)
    graphs = [Graph([Constant("f", "* -> *")]) for _ in range(3)]
    model = [set() for _ in graphs]
    for k, g in enumerate(graphs):
        for a in range(6):
            g.query().create(f"(:G{k}N{a})").execute()
    for step in range(60):
        a, b = rng.randrange(6), rng.randrange(6)
        for k, g in enumerate(graphs):
            # Stores drift apart: the same two nodes, a different next row.
            if rng.random() < 0.5:
                g.query().create(f"(:G{k}P{step})").execute()
            g.query().create(f"(:G{k}N{a})-[]->(:G{k}N{b})").execute()
            model[k].add(f"Edge((G{k}N{a} -> G{k}N{b}):f {{}})")
    for g, edges in zip(graphs, model):
        assert {str(e) for e in g.edges()} == edges


def test_subgraph_views():
    g = people_graph()
    nodes = {str(n.type()): n for n in g.nodes()}
    p, c = nodes["Person"].uid(), nodes["City"].uid()
    assert g.subgraph([]).nodes() == [] and g.subgraph([]).edges() == []
    view = g.subgraph([p, p.upper()])
    assert [n.uid() for n in view.nodes()] == [p]
    assert view.edges() == []
    both = g.subgraph([p, c])
    assert [e.uid() for e in both.edges()] == [(p, c)]
    # A view lists what it was given, stored or not; a view of a view is not limited by the first.
    ghost = g.subgraph([ZERO])
    (n,) = ghost.nodes()
    with pytest.raises(KeyError):
        n.properties()
    assert {x.uid() for x in view.subgraph([c]).nodes()} == {c}


def test_subgraph_bad_uid_text():
    with pytest.raises(ValueError) as info:
        Graph().subgraph(["ab"])
    assert lines_of(str(info.value)) == [
        "Hex Conversion Error: 'Uid must be 32 bytes, got 1' (hex str to uid)",
        "graph - subgraph",
    ]


def test_bulk_setters():
    g = people_graph()
    nodes = {str(n.type()): n for n in g.nodes()}
    p, c = nodes["Person"].uid(), nodes["City"].uid()
    assert g.set_node_properties({}) is None
    g.set_node_properties({p: {"age": 30}}, overwrite=False)
    assert nodes["Person"].properties() == {"age": 30, "name": "Alice"}
    g.set_node_properties({p.upper(): {"age": 31}, p: {"age": 32}})
    assert nodes["Person"].properties() == {"age": 32}
    g.set_edge_properties({(p, c): {"since": 2020}})
    (edge,) = g.edges()
    assert edge.properties() == {"since": 2020}


@pytest.mark.parametrize("overwrite", [True, False])
def test_bulk_setter_failures(overwrite):
    g = people_graph()
    p = {str(n.type()): n for n in g.nodes()}["Person"].uid()
    with pytest.raises(KeyError) as info:
        g.set_node_properties({ZERO: {}}, overwrite)
    assert lines_of(info.value.args[0]) == [
        f"Node with Uid: '{ZERO}' not found (graph - set node properties)",
        "graph - set node properties",
    ]
    assert ZERO not in {n.uid() for n in g.nodes()}
    with pytest.raises(RuntimeError) as info:
        g.set_node_properties({p: [1]}, overwrite)
    assert lines_of(str(info.value))[-1] == "graph - set node properties"
    # Nothing is applied when staging fails.
    with pytest.raises(TypeError):
        g.set_node_properties({p: {"new": 1}, 2: {}}, overwrite)
    assert "new" not in {str(n.type()): n for n in g.nodes()}["Person"].properties()
    with pytest.raises(ValueError) as info:
        g.set_edge_properties({("a", "b", "c"): {}}, overwrite)
    assert str(info.value) == "expected tuple of length 2, but got tuple of length 3"


def test_graph_has_no_text_form_of_its_own():
    g = Graph()
    assert repr(g).startswith("<builtins.Graph object at ")
    assert Graph.__text_signature__ == "(constants=None)"
