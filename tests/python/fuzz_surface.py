"""Seeded fuzzing of the Python surface: one case per seed, run in this process.

A case builds a store from a random set of constants and runs a random mix of
operations on it: creations and matches from a small pattern grammar, mutated
and random pattern texts, sets and removals, limits, subgraph views, reads of
the listed references, and calls with hostile values or the wrong kinds of
arguments. Every few operations, and at the end, `check` walks the whole store:
every listed edge's ends are listed nodes, every listed element can be read,
and the edges leaving and entering every node, found by a match from that
node, are exactly the listed ones. After a removal, what the removal matched
is gone.

A caller may get the errors that bad input raises: TypeError, ValueError,
KeyError, OverflowError, RuntimeError for a Python value that could not be
converted ("Python Error: ..."), the exceptions that hostile values raise
themselves, and the panic "not yet implemented" for edges without a direction.
Anything else is a fault: IndexError (a broken index), SystemError, another
panic, another RuntimeError, a failed check, or the process dying. Two
IndexErrors are the store's answer to input: a creation whose edge joins a
bound node to which it gave a type that has no node, and a walk from a uid of
a subgraph view that is no node.

Before each operation, its text is written to the trail file and flushed, so
that when the process dies the parent (test_fuzz.py) can name the seed and the
last operations. Run one seed by hand with:

    PYTHONPATH=build python3 tests/python/fuzz_surface.py --seed N --verbose
"""

import argparse
import faulthandler
import json
import os
import random
import reprlib
import string
import sys
import traceback

from velmora import Constant, Graph

# ---- what counts as a fault ----------------------------------------------------------


class Fault(Exception):
    """A failure that no input may cause."""


class Hostile(Exception):
    """Raised by the hostile values' own methods; callers may see it."""


EDGE_TO_NO_NODE = tuple(
    f"Index Corruption: '{side}_to_edge_index not initialized for some node already in the graph' (add edge)"
    for side in ("start", "end")
)
NO_EDGE_ROW = "Index Corruption: 'prev_uid should be pointing at a valid node, and it dos not have an entry"
EXPECTED = (TypeError, ValueError, KeyError, OverflowError, Hostile)


def is_expected(exc, on_view=False):
    name = type(exc).__name__
    if name == "PanicException":
        return str(exc).startswith("not yet implemented")
    if isinstance(exc, IndexError):
        # A bound node given another type in a creation names a type with no
        # node, and the edge to it is refused as the store's insertion finds it.
        # A view may hold uids that are no nodes (given so, or removed through
        # the whole store); a walk from one finds no edge row.
        return str(exc).startswith(EDGE_TO_NO_NODE) or (on_view and str(exc).startswith(NO_EDGE_ROW))
    if isinstance(exc, SystemError):
        return False
    if isinstance(exc, RecursionError):
        return False
    if isinstance(exc, RuntimeError):
        return str(exc).startswith("Python Error: ")
    return isinstance(exc, EXPECTED)


_repr = reprlib.Repr()
_repr.maxlevel = 4
_repr.maxstring = 60
_repr.maxother = 60


def shown(value):
    """A short text of any value, hostile ones included."""
    try:
        return _repr.repr(value)
    except BaseException:  # noqa: B902 - hostile __repr__
        return f"<{type(value).__name__}>"


def describe(exc):
    return f"{type(exc).__name__}: {exc}"


# ---- hostile values ------------------------------------------------------------------


class IntSub(int):
    pass


class FloatSub(float):
    pass


class StrSub(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        raise Hostile("str eq")

    def __str__(self):
        raise Hostile("str")


class BadIndex:
    def __index__(self):
        raise Hostile("index")


class BadList(list):
    def __len__(self):
        raise Hostile("len")

    def __getitem__(self, i):
        raise Hostile("getitem")

    def __iter__(self):
        raise Hostile("iter")


class BadDict(dict):
    def items(self):
        raise Hostile("items")

    def keys(self):
        raise Hostile("keys")

    def __iter__(self):
        raise Hostile("iter")

    def __getitem__(self, key):
        raise Hostile("getitem")


class BadStr:
    def __str__(self):
        raise Hostile("str")

    __repr__ = __str__


class Reentrant:
    """Queries the store when it is released, wherever that happens."""

    def __init__(self, graph):
        self.graph = graph

    def __del__(self):
        try:
            self.graph.nodes()
            self.graph.query().match("(a)").return_("a")
        except Exception:
            pass


def as_key(value):
    """The value when it can be a key of a Python dict, else a plain text."""
    try:
        hash(value)
    except Exception:
        return "unhashable"
    return value


def self_referential_list():
    loop = []
    loop.append(loop)
    return loop


def nested(depth):
    value = 1
    for i in range(depth):
        value = [value] if i % 2 else {"k": value}
    return value


def hostile_value(rng, world=None):
    choices = [
        lambda: None, lambda: 0, lambda: -1, lambda: 2**63 - 1, lambda: -(2**63), lambda: 2**63,
        lambda: 2**64 + 5, lambda: -(2**70), lambda: IntSub(7), lambda: True, lambda: 1.5,
        lambda: float("nan"), lambda: float("inf"), lambda: FloatSub(2.5), lambda: 1j,
        lambda: "", lambda: "x" * rng.choice([1, 100, 5000]), lambda: "\ud800", lambda: "a\x00b",
        lambda: "é→∀", lambda: StrSub("k"), lambda: b"bytes", lambda: bytearray(b"ba"),
        lambda: (1, 2), lambda: {1, 2}, lambda: frozenset(), lambda: [], lambda: [1, "a", [2.5]],
        lambda: {}, lambda: {"k": 1, "l": [1, {"m": None}]}, lambda: {1: 2}, lambda: {StrSub("k"): 1},
        lambda: BadList([1]), lambda: BadDict(k=1), lambda: BadIndex(), lambda: BadStr(), lambda: object(),
        lambda: self_referential_list(), lambda: nested(rng.choice([10, 200, 2000])), lambda: len,
        lambda: Graph, lambda: Ellipsis, lambda: NotImplemented, lambda: Constant("c", "A"),
    ]
    if world is not None:
        choices += [
            lambda: world.graph, lambda: world.graph.query(), lambda: Reentrant(world.graph),
            lambda: world.some_reference(),
        ]
    return rng.choice(choices)()


# ---- the pattern grammar ------------------------------------------------------------

VARIABLES = ["a", "b", "c", "d", "e", "x", "y", "z"]
NAMES = ["A", "B", "C", "D", "X", "Y"]
CONSTANT_POOL = [
    ("a", "A"), ("b0", "B"), ("c", "C"), ("f", "* -> *"), ("g", "(X:*) -> B"), ("h", "A -> C"),
    ("k", "A -> (B -> C)"), ("i", "(x: *) -> (x: *)"), ("p", "(X:*) -> Y"), ("d", "D"),
    ("a", "X"),
]
MUTATION_CHARS = "()[]{}<>-:,'\"@* \t\n|!0_aA→é\\"


def type_text(rng, depth=0):
    r = rng.random()
    if depth < 2 and r < 0.15:
        return f"{type_text(rng, depth + 1)} -> {type_text(rng, depth + 1)}"
    if depth < 2 and r < 0.2:
        return f"({type_text(rng, depth + 1)})"
    return rng.choice(NAMES + [f"N{rng.randrange(6)}"])


def type_schema_text(rng):
    r = rng.random()
    if r < 0.1:
        return "*"
    if r < 0.15:
        return "(t: *)"
    if r < 0.2:
        return "(X:*) -> B"
    return type_text(rng)


def term_schema_text(rng, world):
    names = [c for c, _ in world.constants] or ["q"]
    return rng.choice(
        [rng.choice(names), "*", f"{rng.choice(names)} *", f"{rng.choice(names)} {rng.choice(names)}",
         f"@{rng.choice(names)}()", f"@{rng.choice(names)}(A)", f"@{rng.choice(names)}(A, B)"]
    )


def literal_text(rng, depth=0):
    r = rng.random()
    if depth < 2 and r < 0.1:
        return "[" + ", ".join(literal_text(rng, depth + 1) for _ in range(rng.randrange(3))) + "]"
    if depth < 2 and r < 0.15:
        return "{" + ", ".join(f"{rng.choice('kmn')}: {literal_text(rng, depth + 1)}" for _ in range(2)) + "}"
    return rng.choice(["1", "-7", "2.5", "'s'", '"t"', "true", "false", "null", "1e400", "9223372036854775808", "x"])


def props_text(rng):
    keys = rng.sample(["k", "m", "n", "name"], rng.randint(1, 2))
    return "{" + ", ".join(f"{k}: {literal_text(rng)}" for k in keys) + "}"


def node_text(rng, world, palette=None):
    parts = []
    variable = rng.choice(VARIABLES[:5]) if rng.random() < 0.8 else None
    head = variable or ""
    r = rng.random()
    if palette and r < 0.6:
        head += ":" + rng.choice(palette)
    elif r < 0.75:
        head += ":" + type_schema_text(rng)
        if rng.random() < 0.1:
            head += ":" + term_schema_text(rng, world)
    parts.append(head)
    if rng.random() < 0.15:
        parts.append(props_text(rng))
    return "(" + " ".join(p for p in parts if p) + ")"


def edge_text(rng, world):
    inner = ""
    if rng.random() < 0.6:
        inner = rng.choice(VARIABLES[5:] + ["e"])
    if rng.random() < 0.2:
        inner += ":" + rng.choice([type_text(rng) + " -> " + type_text(rng), "*", "(X:*) -> B"])
    if rng.random() < 0.05:
        inner += " " + props_text(rng)
    r = rng.random()
    if r < 0.6:
        return f"-[{inner}]->"
    if r < 0.97:
        return f"<-[{inner}]-"
    return f"[{inner}]"


def path_text(rng, world, max_nodes=4):
    n = rng.randint(1, max_nodes)
    # Now and then a path over two types only, so that types repeat along it.
    palette = rng.sample(NAMES, 2) if rng.random() < 0.4 else None
    out = [node_text(rng, world, palette)]
    for _ in range(n - 1):
        out.append(edge_text(rng, world))
        out.append(node_text(rng, world, palette))
    return "".join(out)


def mutate(rng, text):
    chars = list(text)
    for _ in range(rng.randint(1, 4)):
        r = rng.random()
        pos = rng.randrange(len(chars) + 1)
        if r < 0.35 and chars:
            del chars[min(pos, len(chars) - 1)]
        elif r < 0.7:
            chars.insert(pos, rng.choice(MUTATION_CHARS))
        elif r < 0.85 and chars:
            a = rng.randrange(len(chars))
            chars[a:a] = chars[a : a + rng.randint(1, 6)]
        elif chars:
            a, b = rng.randrange(len(chars)), rng.randrange(len(chars))
            chars[a], chars[b] = chars[b], chars[a]
    return "".join(chars)


def random_text(rng):
    return "".join(rng.choice(MUTATION_CHARS + string.ascii_letters) for _ in range(rng.randint(0, 30)))


# ---- one case -----------------------------------------------------------------------


class Trail:
    """The operations of the running case; each is written out before it runs."""

    def __init__(self, path, verbose=False):
        self.file = open(path, "a", encoding="utf-8", errors="backslashreplace") if path else None
        self.verbose = verbose
        self.recent = []
        self.refused = None

    def start(self, seed):
        self.recent = []
        self.refused = None  # the first creation whose edge the store refused
        self.write(f"# seed {seed}")

    def write(self, text):
        self.recent = (self.recent + [text])[-12:]
        if self.file:
            self.file.write(text.replace("\n", "\\n") + "\n")
            self.file.flush()
        if self.verbose:
            print(text, flush=True)


class World:
    def __init__(self, rng, trail):
        self.rng = rng
        self.trail = trail
        k = rng.randint(0, 5)
        self.constants = rng.sample(CONSTANT_POOL, k)
        # A constant of every arrow type gives every edge a term, and terms
        # propagate everywhere: the store's busiest paths.
        if rng.random() < 0.4:
            self.constants.append(("f", "* -> *"))
        self.graph = Graph([Constant(n, s) for n, s in self.constants])
        self.views = []
        self.known_uids = []
        self.references = []
        self.chain = 0
        self.trail.write(f"g = Graph([{', '.join(f'Constant({n!r}, {s!r})' for n, s in self.constants)}])")

    # Runs `call`, written as `text`; expected errors are swallowed.
    def attempt(self, text, call):
        self.trail.write(text)
        try:
            return True, call()
        except BaseException as exc:  # noqa: B902 - panics are BaseExceptions
            if isinstance(exc, (KeyboardInterrupt, SystemExit, Fault)):
                raise
            if is_expected(exc, on_view=text.startswith("views[")):
                if str(exc).startswith(EDGE_TO_NO_NODE):
                    self.trail.refused = self.trail.refused or text
                return False, exc
            raise Fault(f"{text}\n  raised {describe(exc)}") from exc

    # Runs `call`, which must succeed.
    def must(self, text, call):
        self.trail.write(text)
        try:
            return call()
        except BaseException as exc:  # noqa: B902
            if isinstance(exc, (KeyboardInterrupt, SystemExit, Fault)):
                raise
            raise Fault(f"{text}\n  raised {describe(exc)}") from exc

    def target(self):
        """The store, or now and then a view of it."""
        if self.views and self.rng.random() < 0.2:
            i = self.rng.randrange(len(self.views))
            return f"views[{i}]", self.views[i]
        return "g", self.graph

    def some_reference(self):
        return self.rng.choice(self.references) if self.references else None

    def remember(self, nodes, edges):
        self.known_uids = [n.uid() for n in nodes][:50]
        self.references = (list(nodes[:5]) + list(edges[:5])) or self.references

    # ---- the consistency check ------------------------------------------------------

    def check(self):
        g = self.graph
        # The lists come in no set order: sorted, a seed picks the same ones.
        nodes = sorted(self.must("g.nodes()", g.nodes), key=lambda n: n.uid())
        edges = sorted(self.must("g.edges()", g.edges), key=lambda e: e.uid())
        uids = [n.uid() for n in nodes]
        if len(set(uids)) != len(uids):
            raise Fault("g.nodes() lists a node twice")
        listed = set(uids)
        keys = [e.uid() for e in edges]
        if len(set(keys)) != len(keys):
            raise Fault("g.edges() lists an edge twice")
        for s, t in keys:
            if s not in listed or t not in listed:
                raise Fault(f"edge ({s[:12]}, {t[:12]}) has an end that g.nodes() does not list")
        type_of = {}
        for n in nodes:
            type_of[n.uid()] = self.must(f"str(node {n.uid()[:12]}.type())", lambda n=n: str(n.type()))
            self.must(f"str(node {n.uid()[:12]})", lambda n=n: str(n))
            self.must(f"node {n.uid()[:12]}.properties()", n.properties)
            self.must(f"node {n.uid()[:12]}.term()", lambda n=n: str(n.term()))
        for e in edges:
            self.must(f"str(edge {e.uid()[0][:12]})", lambda e=e: (str(e), e.properties(), e.type(), str(e.term())))
        out_edges = {u: set() for u in uids}
        in_edges = {u: set() for u in uids}
        for s, t in keys:
            out_edges[s].add(t)
            in_edges[t].add(s)
        # Every traversal from every node (a sample when the store is large).
        sample = uids if len(uids) <= 30 else self.rng.sample(uids, 30)
        for u in sample:
            t = type_of[u]
            for arrow, table in (("-[e]->", out_edges), ("<-[e]-", in_edges)):
                text = f"(a:{t}){arrow}(b)"
                rows = self.must(
                    f"g.query().match({text!r}).return_('a', 'b', 'e')",
                    lambda text=text: g.query().match(text).return_("a", "b", "e"),
                )
                got = set()
                for row in rows:
                    if row["a"].uid() != u:
                        raise Fault(f"match {text!r} bound a to another node")
                    b = row["b"].uid()
                    key = (u, b) if arrow == "-[e]->" else (b, u)
                    if row["e"].uid() != key:
                        raise Fault(f"match {text!r} bound e to {row['e'].uid()} between {key}")
                    got.add(b)
                if got != table[u]:
                    raise Fault(
                        f"match {text!r} reached {sorted(x[:12] for x in got)}, "
                        f"the edge list says {sorted(x[:12] for x in table[u])}"
                    )
        # One two-step walk over everything, counted against the edge list.
        if len(keys) <= 300:
            expected = sum(len(out_edges[t]) for _, t in keys)
            rows = self.must(
                "g.query().match('(a)-[e]->(b)-[f]->(c)').return_('e', 'f')",
                lambda: g.query().match("(a)-[e]->(b)-[f]->(c)").return_("e", "f"),
            )
            if len(rows) != expected:
                raise Fault(f"two-step walk found {len(rows)} paths, the edge list gives {expected}")
        for i, view in enumerate(self.views):
            vnodes = {n.uid() for n in self.must(f"views[{i}].nodes()", view.nodes)}
            for e in self.must(f"views[{i}].edges()", view.edges):
                s, t = e.uid()
                if s not in vnodes or t not in vnodes or (s, t) not in set(keys):
                    raise Fault(f"views[{i}].edges() lists an edge outside the view or the store")
        self.remember(nodes, edges)

    # ---- operations -----------------------------------------------------------------

    def op_create(self):
        name, target = self.target()
        text = path_text(self.rng, self)
        self.attempt(f"{name}.query().create({text!r}).execute()", lambda: target.query().create(text).execute())

    def op_chain(self):
        """A run of single-edge creations along new types, as a chain."""
        start = self.chain
        self.chain += self.rng.randint(3, 45)
        arrow = self.rng.choice(["-[e]->", "<-[e]-"])
        for i in range(start, self.chain):
            text = f"(a:N{i})" + arrow + f"(b:N{i + 1})"
            self.attempt(f"g.query().create({text!r}).execute()", lambda text=text: self.graph.query().create(text).execute())

    def op_match_then(self):
        name, target = self.target()
        rng = self.rng
        text = path_text(rng, self, 3)
        q = f"{name}.query()"
        builder = [("match", text)]
        if rng.random() < 0.3:
            builder.insert(0, ("limit", rng.randrange(4)))
        r = rng.random()
        variables = [v for v in VARIABLES if f"({v}" in text or f"[{v}" in text] or ["a"]
        if r < 0.35:
            builder.append(("create", path_text(rng, self, 3)))
        elif r < 0.6:
            props = rng.choice([{"k": rng.randrange(5)}, {"name": "n"}, {}, {"l": [1, 2], "m": {"x": 1.5}}])
            builder.append(("set", rng.choice(variables), props, rng.random() < 0.5))
        elif r < 0.7:
            builder.append(("limit", rng.randrange(3)))
            builder.append(("create", path_text(rng, self, 2)))
        if rng.random() < 0.3:
            builder.append(("match", path_text(rng, self, 2)))
        text_calls = "".join(f".{op}({', '.join(repr(a) for a in args)})" for op, *args in builder)
        ret = rng.sample(variables, min(len(variables), rng.randint(0, 2)))

        def run():
            query = target.query()
            for op, *args in builder:
                query = getattr(query, op)(*args)
            rows = query.return_(*ret)
            for row in rows[:20]:
                for ref in row.values():
                    str(ref)
            return rows

        self.attempt(f"{q}{text_calls}.return_({', '.join(map(repr, ret))})", run)

    def op_remove(self):
        name, target = self.target()
        rng = self.rng
        text = rng.choice([path_text(rng, self, 2), "(a)", "(a)-[e]->(b)", f"(a:{type_text(rng)})"])
        variables = [v for v in VARIABLES if f"({v}" in text or f"[{v}" in text]
        if not variables:
            return
        chosen = rng.sample(variables, rng.randint(1, len(variables)))
        ok, rows = self.attempt(
            f"{name}.query().match({text!r}).return_({', '.join(map(repr, chosen))})",
            lambda: target.query().match(text).return_(*chosen),
        )
        if not ok:
            return
        gone_nodes, gone_edges = set(), set()
        for row in rows:
            for ref in row.values():
                u = ref.uid()
                (gone_edges if isinstance(u, tuple) else gone_nodes).add(u)
        ok, _ = self.attempt(
            f"{name}.query().match({text!r}).remove({', '.join(map(repr, chosen))}).execute()",
            lambda: target.query().match(text).remove(*chosen).execute(),
        )
        if not ok:
            return
        nodes = {n.uid() for n in self.must(f"{name}.nodes()", target.nodes)}
        edges = {e.uid() for e in self.must("g.edges()", self.graph.edges)}
        if gone_nodes & nodes:
            raise Fault(f"{len(gone_nodes & nodes)} removed node(s) still listed by {name}.nodes()")
        if target is self.graph:
            if gone_edges & edges:
                raise Fault(f"{len(gone_edges & edges)} removed edge(s) still listed by g.edges()")
            for s, t in edges:
                if s in gone_nodes or t in gone_nodes:
                    raise Fault("an edge of a removed node is still listed by g.edges()")

    def op_remove_all(self):
        name, target = self.target()
        self.op_remove_text(name, target, "(a)", ["a"])

    def op_remove_text(self, name, target, text, chosen):
        ok, _ = self.attempt(
            f"{name}.query().match({text!r}).remove({', '.join(map(repr, chosen))}).execute()",
            lambda: target.query().match(text).remove(*chosen).execute(),
        )
        if ok and target is self.graph:
            left = self.must("g.nodes()", self.graph.nodes)
            if left:
                raise Fault(f"{len(left)} node(s) left after removing every node")
            if self.must("g.edges()", self.graph.edges):
                raise Fault("edges left after removing every node")

    def op_bad_pattern(self):
        name, target = self.target()
        rng = self.rng
        text = mutate(rng, path_text(rng, self, 3)) if rng.random() < 0.8 else random_text(rng)
        method = rng.choice(["match", "create"])
        then = rng.choice(["execute", "return_"])
        self.attempt(
            f"{name}.query().{method}({text!r}).{then}()",
            lambda: getattr(getattr(target.query(), method)(text), then)(),
        )

    def op_hostile_set(self):
        rng = self.rng
        name, target = self.target()
        value = hostile_value(rng, self)
        key = rng.choice(["k", "m", StrSub("s"), "\ud800", ""])
        props = rng.choice([{key: value}, value, BadDict(k=1), {"k": [value, 1]}, {"n": {"o": value}}])
        var = rng.choice(["a", "a", "b", StrSub("a"), value])
        self.trail.write(f"# hostile {shown(props)} for {shown(var)}")
        self.attempt(
            f"{name}.query().match('(a)').set(var, props, overwrite).execute()",
            lambda: target.query().match("(a)").set(var, props, rng.choice([True, False, value])).execute(),
        )

    def op_bulk_set(self):
        rng = self.rng
        uids = self.known_uids or ["0" * 64]
        u = rng.choice(uids)
        value = hostile_value(rng, self) if rng.random() < 0.5 else {"k": rng.randrange(9)}
        key = rng.choice([u, u.upper(), u[:10], "zz" * 32, as_key(value), StrSub(u)])
        nodes_map = rng.choice([{key: value}, {key: {"v": value}}, value, BadDict({u: {}})])
        self.trail.write(f"# map {shown(nodes_map)}")
        self.attempt("g.set_node_properties(map, overwrite)",
                     lambda: self.graph.set_node_properties(nodes_map, rng.choice([True, False])))
        v = rng.choice(uids)
        edge_key = rng.choice([(u, v), (u, v, u), (u, as_key(value)), (u.upper(), v), as_key(value)])
        edges_map = rng.choice([{edge_key: {"w": 1}}, {edge_key: value}, value])
        self.trail.write(f"# edge map {shown(edges_map)}")
        self.attempt("g.set_edge_properties(map, overwrite)",
                     lambda: self.graph.set_edge_properties(edges_map, overwrite=rng.choice([True, False])))

    def op_limit(self):
        rng = self.rng
        name, target = self.target()
        value = rng.choice([-1, 0, 1, 2, 2**32 - 1, 2**32, 2**64, -(2**70), 2.5, True, "3", None,
                            BadIndex(), IntSub(2), hostile_value(rng)])
        text = path_text(rng, self, 2)
        self.trail.write(f"# limit {shown(value)}")
        self.attempt(
            f"{name}.query().limit(value).match('(a)').create({text!r}).execute()",
            lambda: target.query().limit(value).match("(a)").create(text).execute(),
        )

    def op_constant(self):
        rng = self.rng
        name = rng.choice(["c", "", "not a name", StrSub("k"), hostile_value(rng)])
        schema = rng.choice([mutate(rng, type_schema_text(rng)), random_text(rng), type_schema_text(rng),
                             hostile_value(rng)])
        self.trail.write(f"# Constant({shown(name)}, {shown(schema)})")
        ok, c = self.attempt("Constant(name, schema)", lambda: Constant(name, schema))
        if ok:
            self.attempt("Graph([constant]).query().create('(x:A)').execute()",
                         lambda: Graph([c]).query().create("(x:A)-[e]->(y:B)").execute())
        args = rng.choice([[c] if ok else [], BadList([1]), [Constant("a", "A"), 1], "ab", hostile_value(rng)])
        self.attempt("Graph(constants)", lambda: Graph(args))

    def op_subgraph(self):
        rng = self.rng
        uids = list(self.known_uids)
        items = rng.sample(uids, rng.randint(0, len(uids))) if uids else []
        r = rng.random()
        if r < 0.2:
            items.append("".join(rng.choice("0123456789abcdef") for _ in range(64)))
        elif r < 0.3 and items:
            items[0] = items[0].upper()
        elif r < 0.45:
            items.append(rng.choice(["", "ab", "g" * 64, "0" * 63, "0" * 65, StrSub("0" * 64), 5, None]))
        elif r < 0.5:
            items = rng.choice([BadList(items), "0" * 64, None, hostile_value(rng)])
        self.trail.write(f"# subgraph items {shown(items)}")
        ok, view = self.attempt("views.append(g.subgraph(items))", lambda: self.graph.subgraph(items))
        if ok:
            self.views = (self.views + [view])[-4:]

    def op_read(self):
        rng = self.rng
        name, target = self.target()
        ok, nodes = self.attempt(f"{name}.nodes()", lambda: sorted(target.nodes(), key=lambda n: n.uid()))
        ok2, edges = self.attempt(f"{name}.edges()", lambda: sorted(target.edges(), key=lambda e: e.uid()))
        refs = (nodes if ok else [])[:10] + (edges if ok2 else [])[:10] + self.references
        for ref in rng.sample(refs, min(len(refs), 6)):
            method = rng.choice(["uid", "properties", "type", "term", "__str__", "__repr__"])
            self.attempt(f"ref.{method}()", lambda ref=ref, method=method: getattr(ref, method)())
            if method == "type":
                self.attempt("ref.type().as_arrow()", lambda ref=ref: ref.type() and ref.type().as_arrow())

    def op_wrong_arguments(self):
        rng = self.rng
        q = self.graph.query()
        ref = self.some_reference()
        calls = {
            "Graph": Graph, "Constant": Constant, "g.subgraph": self.graph.subgraph,
            "g.set_node_properties": self.graph.set_node_properties,
            "g.set_edge_properties": self.graph.set_edge_properties, "g.nodes": self.graph.nodes,
            "g.query": self.graph.query, "q.match": q.match, "q.create": q.create, "q.set": q.set,
            "q.remove": q.remove, "q.limit": q.limit, "q.return_": q.return_, "q.execute": q.execute,
        }
        if ref is not None:
            calls.update({"ref.properties": ref.properties, "ref.uid": ref.uid, "ref.type": ref.type,
                          "ref.term": ref.term})
        label = rng.choice(sorted(calls))
        args = [hostile_value(rng, self) for _ in range(rng.randint(0, 3))]
        kwargs = {}
        if rng.random() < 0.3:
            kwargs[rng.choice(["limit", "pattern", "overwrite", "constants", "nodes", "map", "x", "name"])] = (
                hostile_value(rng, self))
        self.trail.write(f"# args {shown(args)} {shown(kwargs)}")
        self.attempt(f"{label}(*args, **kwargs)", lambda: calls[label](*args, **kwargs))
        if rng.random() < 0.3:
            self.attempt("q.execute()", q.execute)

    OPERATIONS = [
        (op_create, 20), (op_chain, 3), (op_match_then, 16), (op_remove, 8), (op_remove_all, 1),
        (op_bad_pattern, 8), (op_hostile_set, 4), (op_bulk_set, 3), (op_limit, 3), (op_constant, 3),
        (op_subgraph, 3), (op_read, 6), (op_wrong_arguments, 6),
    ]


def run_case(seed, trail, steps=None):
    rng = random.Random(seed)
    trail.start(seed)
    world = World(rng, trail)
    ops, weights = zip(*World.OPERATIONS)
    for step in range(steps or rng.randint(20, 60)):
        rng.choices(ops, weights)[0](world)
        if step % 4 == 3:
            world.check()
    world.check()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seed", type=int, default=0, help="the first seed")
    parser.add_argument("--count", type=int, default=1, help="how many seeds from the first")
    parser.add_argument("--trail", help="file to append each operation to before it runs")
    parser.add_argument("--verbose", action="store_true", help="print each operation")
    parser.add_argument("--max-faults", type=int, default=0, help="stop after this many faulty seeds (0: never)")
    args = parser.parse_args(argv)
    trail = Trail(args.trail, args.verbose)
    # A crash prints the Python stack (under AddressSanitizer, whose report
    # tells more, the sanitizer's handler is left alone); a case that runs far
    # longer than cases do has hung, and ends the process with every thread's
    # stack.
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):
        faulthandler.enable()
    case_timeout = float(os.environ.get("VELMORA_FUZZ_CASE_TIMEOUT", "120"))
    faults = 0
    for seed in range(args.seed, args.seed + args.count):
        faulthandler.dump_traceback_later(case_timeout, exit=True)
        try:
            run_case(seed, trail)
        except Fault as fault:
            faults += 1
            detail = "".join(traceback.format_exception_only(type(fault), fault)).strip()
            if trail.refused:
                detail += f"\n  (after a creation whose edge was refused: {trail.refused})"
            print(json.dumps({"seed": seed, "fault": detail, "trail": trail.recent}), flush=True)
        finally:
            trail.write(f"# end {seed}")
        if args.max_faults and faults >= args.max_faults:
            break
    return 3 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
