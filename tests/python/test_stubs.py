"""python/velmora.pyi against the module it describes: the same public names,
the same parameters as the text signatures, and results of the annotated
types, so that the stubs cannot drift from the module."""

import ast
import inspect
import os
import subprocess
import sys
from pathlib import Path

import pytest

import velmora

STUBS = Path(__file__).resolve().parents[2] / "python" / "velmora.pyi"
TREE = ast.parse(STUBS.read_text())
CLASSES = {node.name: node for node in TREE.body if isinstance(node, ast.ClassDef)}
ALIASES = {node.targets[0].id: node.value for node in TREE.body
           if isinstance(node, ast.Assign) and node.targets[0].id.startswith("_")}


def public(names):
    return {name for name in names if not name.startswith("_")}


def stub_members(cls_name):
    """Name -> ("method" | "property" | "attribute", node) of a stub class body."""
    members = {}
    for node in CLASSES[cls_name].body:
        if isinstance(node, ast.FunctionDef):
            decorators = {d.id for d in node.decorator_list if isinstance(d, ast.Name)}
            members[node.name] = ("property" if "property" in decorators else "method", node)
        elif isinstance(node, ast.AnnAssign):
            members[node.target.id] = ("attribute", node)
    return members


def test_stubs_pass_a_strict_type_check():
    out = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", os.devnull, str(STUBS)],
                         capture_output=True, text=True)
    assert out.returncode == 0, out.stdout + out.stderr


def test_module_names():
    (all_node,) = [n for n in TREE.body if isinstance(n, ast.Assign) and n.targets[0].id == "__all__"]
    assert ast.literal_eval(all_node.value) == velmora.__all__
    assert set(CLASSES) == public(vars(velmora))


@pytest.mark.parametrize("name", velmora.__all__)
def test_class_names_match_dir(name):
    assert public(stub_members(name)) == public(dir(getattr(velmora, name)))


@pytest.mark.parametrize("name", velmora.__all__)
def test_member_kinds(name):
    cls = getattr(velmora, name)
    for member, (kind, _) in stub_members(name).items():
        if member.startswith("_"):
            continue
        runtime = inspect.getattr_static(cls, member)
        expected = "property" if inspect.isgetsetdescriptor(runtime) else "method"
        assert kind == expected, f"{name}.{member}"


def stub_signature(node, drop_self=True):
    """The stub function's parameters as (name, kind, default or None)."""
    args = node.args
    params = []
    positional = args.args[1:] if drop_self else args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + [ast.literal_eval(d) for d in args.defaults]
    for arg, default in zip(positional, defaults):
        params.append((arg.arg, inspect.Parameter.POSITIONAL_OR_KEYWORD, default))
    if args.vararg:
        params.append((args.vararg.arg, inspect.Parameter.VAR_POSITIONAL, None))
    assert not args.kwonlyargs and not args.kwarg
    return params


def runtime_signature(obj):
    """The same for a method descriptor or a class, without `$self`."""
    params = list(inspect.signature(obj).parameters.values())
    if params and params[0].name == "self":
        params = params[1:]
    return [(p.name, p.kind, None if p.default is inspect.Parameter.empty else p.default) for p in params]


@pytest.mark.parametrize("name", velmora.__all__)
def test_parameters_match_text_signatures(name):
    cls = getattr(velmora, name)
    members = stub_members(name)
    for member, (kind, node) in members.items():
        if kind != "method" or member.startswith("__"):
            continue
        assert stub_signature(node) == runtime_signature(getattr(cls, member)), f"{name}.{member}"
    # A constructor in the stubs exactly when the class has one.
    if "__init__" in members:
        assert stub_signature(members["__init__"][1]) == runtime_signature(cls)
    else:
        with pytest.raises(TypeError, match="cannot create"):
            cls()


# ---- results against their annotations ---------------------------------------------


def conforms(value, annotation):
    """Whether `value` is of the stub type `annotation` (the forms the stubs use)."""
    if isinstance(annotation, ast.Constant) and annotation.value is None:
        return value is None
    if isinstance(annotation, ast.BinOp) and isinstance(annotation.op, ast.BitOr):
        return conforms(value, annotation.left) or conforms(value, annotation.right)
    if isinstance(annotation, ast.Name):
        name = annotation.id
        if name in ALIASES:
            return conforms(value, ALIASES[name])
        if name == "Any":
            return True
        if name in CLASSES:
            return type(value) is getattr(velmora, name)
        return type(value) is {"str": str, "bool": bool, "int": int}[name]
    assert isinstance(annotation, ast.Subscript), ast.dump(annotation)
    outer = annotation.value.id
    inner = annotation.slice.elts if isinstance(annotation.slice, ast.Tuple) else [annotation.slice]
    if outer == "Union":
        return any(conforms(value, option) for option in inner)
    if outer == "list":
        return type(value) is list and all(conforms(item, inner[0]) for item in value)
    if outer == "dict":
        return type(value) is dict and all(conforms(k, inner[0]) and conforms(v, inner[1])
                                           for k, v in value.items())
    if outer == "tuple":
        return type(value) is tuple and len(value) == len(inner) and all(map(conforms, value, inner))
    raise AssertionError(f"no check for {outer}")


@pytest.fixture(scope="module")
def sample():
    """A small graph with one of each reference: a node with a term, a node
    without one, an edge, an arrow type and a variable type."""
    g = velmora.Graph([velmora.Constant("alice", "Person"), velmora.Constant("f", "Person -> City")])
    g.query().create("(p:Person {name: 'Alice'})-[e]->(c:City)").execute()
    g.query().create("(t:Town)").execute()
    row = g.query().match("(p:Person)-[e]->(c:City)").return_("p", "e", "c")[0]
    town = g.query().match("(t:Town)").return_("t")[0]["t"]
    return g, row["p"], town, row["e"]


def calls(sample):
    """(class, method, receiver, arguments) for every stub method: every result
    is checked against the method's annotation. Several receivers cover both
    sides of the optional results."""
    g, person, town, edge = sample
    q = g.query()
    uid = person.uid()
    return [
        ("Graph", "subgraph", g, ([uid],)),
        ("Graph", "query", g, ()),
        ("Graph", "nodes", g, ()),
        ("Graph", "edges", g, ()),
        ("Graph", "set_node_properties", g, ({uid: {"age": 31}},)),
        ("Graph", "set_edge_properties", g, ({edge.uid(): {"since": 2020}},)),
        ("Query", "create", q, ("(z:Person)",)),
        ("Query", "match", q, ("(p:Person)",)),
        ("Query", "remove", q, ("p", "e")),
        ("Query", "set", q, ("p", {"k": [1, 2.5, "x"]})),
        ("Query", "execute", g.query().match("(p:Person)"), ()),
        ("Query", "return_", g.query().match("(p:Person)-[e]->(c)"), ("p", "e", "c")),
        ("Query", "return_", g.query().match("(c:(X: *) -> City)"), ("c", "X")),
        ("Query", "limit", q, (3,)),
        ("Edge", "uid", edge, ()),
        ("Edge", "properties", edge, ()),
        ("Edge", "type", edge, ()),
        ("Edge", "term", edge, ()),
        *[("Node", method, node, ()) for node in (person, town)
          for method in ("uid", "properties", "type", "term")],
        ("Term", "uid", person.term(), ()),
        *[("Type", method, t, ()) for t in (person.type(), edge.type())
          for method in ("uid", "as_var", "as_arrow")],
    ]


def test_results_are_of_the_annotated_types(sample):
    covered = set()
    for cls, method, receiver, args in calls(sample):
        assert type(receiver) is getattr(velmora, cls)
        node = stub_members(cls)[method][1]
        result = getattr(receiver, method)(*args)
        assert conforms(result, node.returns), f"{cls}.{method}{args!r} returned {result!r}"
        covered.add((cls, method))
    every = {(cls, m) for cls in CLASSES for m, (kind, _) in stub_members(cls).items()
             if kind == "method" and not m.startswith("_")}
    assert every - covered == set(), "methods without a checked call"


def test_property_and_optional_results(sample):
    """Both sides of every optional result are seen, and Constant.name is a str."""
    _, person, town, edge = sample
    assert person.term() is not None and town.term() is None
    assert person.type().as_var() == "Person" and person.type().as_arrow() is None
    assert edge.type().as_var() is None and edge.type().as_arrow() is not None
    (node,) = [n for n in CLASSES["Constant"].body if isinstance(n, ast.FunctionDef) and n.name == "name"]
    assert conforms(velmora.Constant("c", "A").name, node.returns)
