"""A first walk through velmora: typed nodes, edges that carry terms, and queries.

Run it with `make demo` (or `PYTHONPATH=build python3 examples/quickstart.py`).
"""

import velmora
from velmora import Constant, Graph

print("velmora classes:", velmora.__all__)

# Constants name basic terms: every type that a constant's schema matches has a
# term named after it. "(X:*) -> City" matches every arrow type into City.
graph = Graph([
    Constant("alice", "Person"),
    Constant("lives_in", "(X:*) -> City"),
    Constant("knows", "Person -> Friend"),
])

# Create typed nodes and the edges between them. Each node is a type; an edge
# joins two types and carries a term of their arrow type.
graph.query().create("(p:Person {name: 'Alice', age: 31})-[k]->(f:Friend {name: 'Bob'})").execute()
graph.query().create("(p:Person)-[e]->(c:City {name: 'Paris'})").execute()

# Terms propagate along edges: City had no constant of its own, so it gets the
# application of the edge's term to Person's term.
for node in sorted(graph.nodes(), key=str):
    print(node, "term:", node.term())

# Match with a property block, and a two-hop path (one edge backward).
rows = graph.query().match("(p:Person {age: 31})").return_("p")
print("people aged 31:", [row["p"].properties()["name"] for row in rows])
rows = graph.query().match("(f:Friend)<-[k]-(p:Person)-[e]->(c:City)").return_("f", "c")
print("friend and city:", [(str(r["f"].type()), r["c"].properties()["name"]) for r in rows])

# Set merges (overwrite=False) or replaces properties of bound nodes and edges.
graph.query().match("(p:Person)").set("p", {"age": 32}, overwrite=False).execute()
print("Alice now:", graph.query().match("(p:Person)").return_("p")[0]["p"].properties())

# Limit bounds how many creations add something new below it.
graph.query().limit(1).match("(n:Friend)").create("(n)-[r]->(c:City)").execute()
print("edges:", sorted(str(e) for e in graph.edges()))

# A subgraph view sees only the nodes it was given; removing through it only
# takes a node out of the view.
person = next(n for n in graph.nodes() if str(n.type()) == "Person")
view = graph.subgraph([person.uid()])
view.query().match("(p:Person)").remove("p").execute()
print("view nodes:", view.nodes(), "- graph still has", len(graph.nodes()), "nodes")

# Removing through the whole graph deletes the node and its edges.
graph.query().match("(f:Friend)").remove("f").execute()
print("after removing Friend:", len(graph.nodes()), "nodes,", len(graph.edges()), "edges")

# Errors carry the failing step and the query text.
try:
    graph.query().match("(p:Person)").set("q", {"x": 1}).execute()
except KeyError as error:
    print("error:", error.args[0])
