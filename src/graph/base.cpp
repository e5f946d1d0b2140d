#include "graph/base.hpp"

#include <fmt/format.h>
#include <openssl/evp.h>
#include <tbb/task_arena.h>

#include <cstring>

#include <span>

#include "binding/args.hpp"
#include "binding/guard.hpp"
#include "query/base.hpp"
#include "query/references/base.hpp"
#include "utils/hex_to_uid.hpp"
#include "utils/panic.hpp"
#include "utils/parallel.hpp"

namespace velmora::graph {
namespace {

errors::IndexCorruption corruption(const char* message, const char* context) {
  return errors::IndexCorruption{message, std::string(context)};
}

// Adds `key` to the set in `node`'s row, creating the set with the row's
// first edge. The common case only reads the row; the set is installed under
// the row's write lock, once. False when the node has no row.
bool add_to_row(utils::ShardedMap<Uid, EdgeSetPtr, UidHash>& index, const Uid& node, const EdgeKey& key) {
  const auto added = index.with_read(node, [&](const EdgeSetPtr& set) {
    if (!set) return false;
    set->insert(key);
    return true;
  });
  if (!added) return false;
  if (*added) return true;
  return index.with_write(node, [&](EdgeSetPtr& set) {
    if (!set) set = std::make_shared<EdgeSet>();
    set->insert(key);
  });
}

// Stores `map` (which the edge takes over) as the edge's, in place of the map
// of an edge already there, and indexes it under the row's lock. True when
// the edge is new.
bool store_edge_row(utils::ShardedMap<EdgeKey, PropertyMap, UidHash>& index, EdgePropertyIndex& property_index,
                    const EdgeKey& key, PropertyMap map) {
  for (;;) {
    const bool replaced = index.with_write(key, [&](PropertyMap& stored) {
      property_index.overwrite(key, stored, map, true);
      stored = std::move(map);
    });
    if (replaced) return false;
    if (index.insert_if_absent(key, map)) {
      index.with_write(key, [&](const PropertyMap& stored) { property_index.add(key, stored); });
      return true;
    }
  }
}

}  // namespace

Uid sha256(std::initializer_list<std::span<const std::uint8_t>> parts) {
  // The algorithm is fetched once and every thread keeps one context:
  // EVP_sha256() with EVP_Digest would look the algorithm up on every call.
  static EVP_MD* const kSha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  thread_local const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(),
                                                                                &EVP_MD_CTX_free);
  Uid out{};
  unsigned int len = 0;
  bool ok = kSha256 != nullptr && ctx && EVP_DigestInit_ex2(ctx.get(), kSha256, nullptr) == 1;
  for (const auto& part : parts) ok = ok && EVP_DigestUpdate(ctx.get(), part.data(), part.size()) == 1;
  if (!ok || EVP_DigestFinal_ex(ctx.get(), out.data(), &len) != 1 || len != out.size())
    panic("SHA-256 digest failed");
  return out;
}

Uid TypeRep::uid() const {
  constexpr auto bytes = [](std::string_view text) {
    return std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  };
  if (tag == Tag::Variable) return sha256({bytes("var:"), bytes(name)});
  return sha256({bytes("arr:"), left, bytes(":"), right});
}

Graph::Graph(const std::vector<Constant>& list)
    : node_index(std::make_shared<decltype(node_index)::element_type>()),
      edge_index(std::make_shared<decltype(edge_index)::element_type>()),
      type_index(std::make_shared<decltype(type_index)::element_type>()),
      term_index(std::make_shared<decltype(term_index)::element_type>()),
      type_to_edge_index(std::make_shared<decltype(type_to_edge_index)::element_type>()),
      edge_to_type_index(std::make_shared<decltype(edge_to_type_index)::element_type>()),
      start_to_edge_index(std::make_shared<decltype(start_to_edge_index)::element_type>()),
      end_to_edge_index(std::make_shared<decltype(end_to_edge_index)::element_type>()),
      constants(std::make_shared<decltype(constants)::element_type>()) {
  // The last of several constants with one name wins.
  for (const auto& c : list) constants->insert(c.name(), c);
}

// ---- types and terms ---------------------------------------------------------

Uid Graph::insert_type(const typing::Type& type) {
  TypeRep rep = [&] {
    if (const auto* v = type.as_variable()) return TypeRep::variable(v->name);
    const auto* a = type.as_arrow();
    const Uid left = insert_type(*a->left);
    const Uid right = insert_type(*a->right);
    return TypeRep::arrow(left, right);
  }();
  const Uid uid = rep.uid();
  // Equal uids stand for equal representations: a stored one stays.
  type_index->insert_if_absent(uid, std::move(rep));
  return uid;
}

Uid Graph::insert_term(const Term& term) {
  const Uid uid = insert_type(*term.type());
  TermRep rep = [&] {
    if (const auto* b = term.as_basic()) return TermRep::basic(b->name);
    const auto* app = term.as_application();
    const Uid f = insert_term(*app->function);
    const Uid a = insert_term(*app->argument);
    return TermRep::application(f, a);
  }();
  term_index->insert(uid, std::move(rep));
  return uid;
}

Result<TypePtr> Graph::type_from_uid(const Uid& uid) const {
  auto found = type_index->with_read(uid, [&](const TypeRep& rep) -> Result<TypePtr> {
    if (rep.tag == TypeRep::Tag::Variable) {
      auto var = VM_TRY_CTX(typing::Variable::create(rep.name), "graph - type from uid");
      return typing::make_type(std::move(var));
    }
    auto left = type_from_uid(rep.left);
    auto right = left ? type_from_uid(rep.right) : std::move(left);
    if (!left || !right)
      return fail(corruption("type repr points to a uid that does not belong to the index!", "type from uid"));
    return typing::make_arrow(std::move(*left), std::move(*right));
  });
  if (!found) return fail(errors::TypeNotFound{uid, "type from uid"});
  return std::move(*found);
}

Result<Term> Graph::term_from_uid(const Uid& uid) const {
  auto found = term_index->with_read(uid, [&](const TermRep& rep) -> Result<Term> {
    auto type = type_from_uid(uid);
    if (!type) {
      if (type.error().current_context().is<errors::TypeNotFound>())
        return fail(corruption("Found a term in the TermIndex without its corresponding type in the TypeIndex",
                               "term from uid"));
      return std::unexpected(std::move(type).error());
    }
    if (rep.tag == TermRep::Tag::Basic) {
      auto basic = VM_TRY(typing::BasicTerm::create(rep.name, std::move(*type)));
      return Term(std::move(basic));
    }
    auto function = VM_TRY(term_from_uid(rep.function));
    auto argument = VM_TRY(term_from_uid(rep.argument));
    auto app = VM_TRY(typing::Application::create(std::move(function), std::move(argument)));
    return Term(std::move(app));
  });
  if (!found) return fail(errors::TermNotFound{uid, "term from uid"});
  return std::move(*found);
}

Result<std::optional<std::string>> Graph::type_as_var(const Uid& uid) const {
  auto found = type_index->with_read(uid, [](const TypeRep& rep) -> std::optional<std::string> {
    if (rep.tag == TypeRep::Tag::Variable) return rep.name;
    return std::nullopt;
  });
  if (!found) return fail(errors::TypeNotFound{uid, "type as var"});
  return std::move(*found);
}

Result<std::optional<std::pair<Uid, Uid>>> Graph::type_as_arrow(const Uid& uid) const {
  auto found = type_index->with_read(uid, [](const TypeRep& rep) -> std::optional<std::pair<Uid, Uid>> {
    if (rep.tag == TypeRep::Tag::Arrow) return std::pair{rep.left, rep.right};
    return std::nullopt;
  });
  if (!found) return fail(errors::TypeNotFound{uid, "type as arrow"});
  return std::move(*found);
}

Result<Uid> Graph::get_edge_type(const EdgeKey& key) const {
  auto found = edge_to_type_index->get(key);
  if (!found) return fail(errors::EdgeNotFound{key, "graph - get edge type"});
  return *found;
}

// ---- insertion -----------------------------------------------------------------

Status Graph::add_arrow_term_edge(const Term& term, const CreatedFlag& created) {
  const auto* arrow = term.type()->as_arrow();
  for (const TypePtr& side : {arrow->left, arrow->right}) {
    const Uid uid = insert_type(*side);
    if (!node_index->contains(uid)) {
      auto inferred = VM_TRY(infer_term(uid));
      VM_TRY(add_node(side, std::move(inferred), PropertyMap::empty(), created));
    }
  }
  VM_TRY(add_edge(term, PropertyMap::empty(), created));
  return {};
}

Result<Uid> Graph::add_node(const TypePtr& type, std::optional<Term> term, PropertyMap properties,
                            const CreatedFlag& created) {
  const Uid uid = insert_type(*type);
  bool newly_stored = false;
  if (term && !term_index->contains(uid)) {
    const Uid stored = insert_term(*term);
    if (stored != uid)
      return fail(errors::InvalidTerm{"term provided is of a different type than the type provided"});
    if (term->type()->is_arrow()) VM_TRY(add_arrow_term_edge(*term, created));
    newly_stored = true;
  }

  // The edge-set rows go in before the node row, so nobody sees the node
  // without them; an existing node keeps its map and its sets.
  if (!node_index->contains(uid)) {
    start_to_edge_index->insert_if_absent(uid, nullptr);
    end_to_edge_index->insert_if_absent(uid, nullptr);
    if (node_index->insert_if_absent(uid, properties)) {
      node_index->with_write(uid, [&](const PropertyMap& stored) { node_property_index->add(uid, stored); });
      created->store(true);
    }
  }

  if (newly_stored) {
    auto start_row = start_to_edge_index->get(uid);
    if (!start_row)
      return fail(corruption("node exists without row in the StartToEdgeIndex", "graph - add node"));
    // Walk a snapshot of the keys: propagation may add edges leaving this very
    // node, and no lock may be held across the nested insertions.
    const std::vector<EdgeKey> edges = edge_keys(*start_row);
    VM_TRY(utils::try_for_each(std::span<const EdgeKey>(edges), [&](const EdgeKey& edge) {
      return propagate_along_edge(uid, edge, created);
    }));
  }
  return uid;
}

Status Graph::propagate_along_edge(const Uid& start, const EdgeKey& edge, const CreatedFlag& created) {
  if (term_index->contains(edge.second)) return {};
  auto start_term = VM_TRY_CTX(term_from_uid(start), "graph - add node");
  auto arrow_uid = edge_to_type_index->get(edge);
  if (!arrow_uid)
    return fail(corruption("edge exists in EdgeIndex without appearing in EdgeToTypeIndex", "graph - add node"));
  auto function = VM_TRY_CTX(term_from_uid(*arrow_uid), "graph - add node");
  auto applied = VM_TRY_CTX(function.apply(start_term), "graph - add node");
  TypePtr type = applied.type();
  VM_TRY_CTX(add_node(type, std::move(applied), PropertyMap::empty(), created), "graph - add node");
  return {};
}

Result<EdgeKey> Graph::add_edge(const Term& term, PropertyMap properties, const CreatedFlag& created) {
  const Uid arrow_uid = insert_term(term);
  auto sides = type_index->with_read(arrow_uid, [](const TypeRep& rep) -> std::optional<EdgeKey> {
    if (rep.tag == TypeRep::Tag::Arrow) return EdgeKey{rep.left, rep.right};
    return std::nullopt;
  });
  if (!sides)
    return fail(errors::RuntimeError{"unable to get term rep of a just initialized term", "new edge"});
  if (!*sides) return fail(errors::InvalidTerm{"to create an edge you must provide a term of an arrow type"});
  const EdgeKey key = **sides;
  const auto& [s, e] = key;

  type_to_edge_index->insert(arrow_uid, key);
  edge_to_type_index->insert(key, arrow_uid);
  if (!add_to_row(*start_to_edge_index, s, key))
    return fail(corruption("start_to_edge_index not initialized for some node already in the graph", "add edge"));
  if (!add_to_row(*end_to_edge_index, e, key))
    return fail(corruption("end_to_edge_index not initialized for some node already in the graph", "add edge"));
  if (store_edge_row(*edge_index, *edge_property_index, key, std::move(properties))) created->store(true);

  // One step only: the end node's term is stored directly, without
  // propagating along its own outgoing edges.
  if (term_index->contains(s) && !term_index->contains(e)) {
    auto start_term = VM_TRY(term_from_uid(s));
    auto applied = VM_TRY(term.apply(start_term));
    const Uid end_uid = insert_term(applied);
    if (!type_to_edge_index->contains(end_uid)) {
      auto rebuilt = VM_TRY(term_from_uid(end_uid));
      if (rebuilt.type()->is_arrow()) VM_TRY(add_arrow_term_edge(rebuilt, created));
    }
  }
  return key;
}

// ---- removal ---------------------------------------------------------------------

Result<std::optional<EdgeKey>> Graph::remove_edge(const EdgeKey& key) {
  edge_index->with_write(key, [&](const PropertyMap& stored) { edge_property_index->remove(key, stored); });
  if (!edge_index->remove(key)) return std::optional<EdgeKey>();
  auto arrow_uid = edge_to_type_index->remove(key);
  if (!arrow_uid) return std::optional<EdgeKey>();
  if (!type_to_edge_index->remove(*arrow_uid))
    return fail(corruption("type_to_edge_index lacks a pair that is contained in the edge_to_type_index",
                           "remove edge"));
  const auto erase = [&](const EdgeSetPtr& set) { return set && set->erase(key); };
  if (!start_to_edge_index->with_read(key.first, erase))
    return fail(corruption("start_to_edge_index not initialized for some node already in the graph", "remove edge"));
  if (!end_to_edge_index->with_read(key.second, erase))
    return fail(corruption("end_to_edge_index not initialized for some node already in the graph", "remove edge"));
  return std::optional<EdgeKey>(key);
}

Result<std::optional<Uid>> Graph::remove_node(const Uid& uid) {
  node_index->with_write(uid, [&](const PropertyMap& stored) { node_property_index->remove(uid, stored); });
  if (!node_index->remove(uid)) return std::optional<Uid>();
  auto keys_of = [&](const auto& index) {
    auto row = index->get(uid);
    return row ? edge_keys(*row) : std::vector<EdgeKey>();
  };
  const std::vector<EdgeKey> leaving = keys_of(start_to_edge_index);
  const std::vector<EdgeKey> entering = keys_of(end_to_edge_index);
  for (const auto* group : {&leaving, &entering})
    for (const EdgeKey& key : *group) VM_TRY_CTX(remove_edge(key), "graph - remove node");
  start_to_edge_index->remove(uid);
  end_to_edge_index->remove(uid);
  return std::optional<Uid>(uid);
}

// ---- properties -----------------------------------------------------------------

Result<PropertyMap> Graph::node_properties(const Uid& uid) const {
  auto map = node_index->get(uid);
  if (!map) return fail(errors::NodeNotFound{uid, "node properties"});
  return std::move(*map);
}

Result<PropertyMap> Graph::edge_properties(const EdgeKey& key) const {
  auto map = edge_index->get(key);
  if (!map) return fail(errors::EdgeNotFound{key, "edge properties"});
  return std::move(*map);
}

namespace {

// Overwrite replaces the row's handle; a merge inserts a snapshot of the given
// entries into the stored map while the row stays write-locked. Copies of
// opaque values only share the object's handle, so this is safe on pool threads.
template <class Index, class Key, class PropertyIndex>
bool set_properties(Index& index, PropertyIndex& property_index, const Key& key, const PropertyMap& map,
                    bool overwrite, bool taken_over) {
  return index.with_write(key, [&](PropertyMap& stored) {
    if (overwrite) {
      property_index.overwrite(key, stored, map, taken_over);
      stored = map;
      return;
    }
    auto entries = map.iter();
    property_index.merge(key, stored, entries);
    for (auto& [k, v] : entries) stored.insert(std::move(k), std::move(v));
  });
}

}  // namespace

Status Graph::set_node_properties(const Uid& uid, const PropertyMap& map, bool overwrite, bool taken_over) {
  if (!set_properties(*node_index, *node_property_index, uid, map, overwrite, taken_over))
    return fail(errors::NodeNotFound{uid, "graph - set node properties"});
  return {};
}

Status Graph::set_edge_properties(const EdgeKey& key, const PropertyMap& map, bool overwrite, bool taken_over) {
  if (!set_properties(*edge_index, *edge_property_index, key, map, overwrite, taken_over))
    return fail(errors::EdgeNotFound{key, "graph - set node properties"});
  return {};
}

// ---- text forms -------------------------------------------------------------------

Result<std::string> Graph::type_to_string(const Uid& uid) const {
  auto text = type_index->with_read(uid, [&](const TypeRep& rep) -> Result<std::string> {
    if (rep.tag == TypeRep::Tag::Variable) return rep.name;
    auto left = VM_TRY_CTX(type_to_string(rep.left), "graph - type to string");
    auto right = VM_TRY_CTX(type_to_string(rep.right), "graph - type to string");
    return "(" + left + " -> " + right + ")";
  });
  if (!text) return fail(errors::TypeNotFound{uid, "type to string"});
  return std::move(*text);
}

Result<std::string> Graph::term_to_string(const Uid& uid) const {
  auto text = term_index->with_read(uid, [&](const TermRep& rep) -> Result<std::string> {
    if (rep.tag == TermRep::Tag::Basic) return rep.name;
    auto function = VM_TRY_CTX(term_to_string(rep.function), "graph - term to string");
    auto argument = VM_TRY_CTX(term_to_string(rep.argument), "graph - term to string");
    return "(" + function + " " + argument + ")";
  });
  if (!text) return fail(errors::TermNotFound{uid, "term to string"});
  return std::move(*text);
}

Result<std::string> Graph::node_to_string(const Uid& uid) const {
  auto text = node_index->with_read(uid, [&](const PropertyMap& map) -> Result<std::string> {
    auto type = VM_TRY_CTX(type_to_string(uid), "graph - node to string");
    auto term = term_to_string(uid);  // a node without a term shows an empty term text
    return "Node(" + type + ":" + (term ? *term : std::string()) + " " + map.to_string() + ")";
  });
  if (!text) return fail(errors::NodeNotFound{uid, "node to string"});
  return std::move(*text);
}

Result<std::string> Graph::edge_to_string(const EdgeKey& key) const {
  auto text = edge_index->with_read(key, [&](const PropertyMap& map) -> Result<std::string> {
    auto arrow_uid = edge_to_type_index->get(key);
    if (!arrow_uid)
      return fail(corruption("missing entry of edge that appears in the EdgeIndex but not in the EdgeToTypeIndex",
                             "edge to string"));
    auto type = VM_TRY_CTX(type_to_string(*arrow_uid), "graph - edge to string");
    auto term = VM_TRY_CTX(term_to_string(*arrow_uid), "graph - edge to string");
    return "Edge(" + type + ":" + term + " " + map.to_string() + ")";
  });
  if (!text) return fail(errors::EdgeNotFound{key, "edge to string"});
  return std::move(*text);
}

// ---- schema conversion and term inference ------------------------------------------

using patterns::TermPattern;
using patterns::TermSchema;
using patterns::TypePattern;
using patterns::TypeSchema;

namespace {

// A wildcard fails deep in the tree, where the schema's text is unknown; the
// schema-level step names the whole schema instead.
Report rename_invalid_pattern(Report report, const std::string& schema_text) {
  if (const auto* invalid = report.current_context().get<errors::InvalidPattern>()) {
    std::string reason = invalid->reason;
    report.change_context(errors::InvalidPattern{schema_text, std::move(reason)});
  }
  return report;
}

}  // namespace

Result<TypePtr> Graph::type_schema_to_type(const TypeSchema& schema, const MatchPtr& m) {
  auto type = pattern_to_type_recursive(schema.pattern(), m);
  if (!type) {
    Report report = rename_invalid_pattern(std::move(type).error(), schema.schema());
    report.attach("graph - type schema to type");
    return std::unexpected(std::move(report));
  }
  return type;
}

Result<Term> Graph::term_schema_to_term(const TermSchema& schema, const MatchPtr& m) {
  auto term = pattern_to_term_recursive(schema.pattern(), m);
  if (!term) {
    Report report = rename_invalid_pattern(std::move(term).error(), schema.schema());
    report.attach("graph - term schema to term");
    return std::unexpected(std::move(report));
  }
  return term;
}

Result<TypePtr> Graph::bound_type(const std::string& name, const MatchElement& element) {
  const Uid uid = VM_TRY_CTX(element.as_type(name, "pattern to type recursive"), "graph - pattern to type recursive");
  return type_from_uid(uid);
}

Result<TypePtr> Graph::pattern_to_type_recursive(const TypePattern& p, const MatchPtr& m) {
  if (p.is<TypePattern::Wildcard>())
    return fail(errors::InvalidPattern{"", "Cannot convert wildcard to type"});

  if (const auto* arrow = p.get<TypePattern::Arrow>()) {
    TypePtr left = VM_TRY_CTX(pattern_to_type_recursive(*arrow->left, m), "graph - pattern to type recursive");
    TypePtr right = VM_TRY_CTX(pattern_to_type_recursive(*arrow->right, m), "graph - pattern to type recursive");
    return typing::make_arrow(std::move(left), std::move(right));
  }

  // A variable and a capture both stand for their binding, or else for the
  // type variable of their name; a capture's inner pattern plays no part.
  const std::string& name = p.is<TypePattern::Variable>() ? p.get<TypePattern::Variable>()->name
                                                          : p.get<TypePattern::Capture>()->name;
  if (auto bound = m->get(name)) return bound_type(name, *bound);
  auto variable = VM_TRY_CTX(typing::Variable::create(name), "graph - pattern to type recursive");
  return typing::make_type(std::move(variable));
}

Result<Term> Graph::pattern_to_term_recursive(const TermPattern& p, const MatchPtr& m) {
  if (p.is<TermPattern::Wildcard>())
    return fail(errors::InvalidPattern{"", "Cannot convert wildcard to term"});

  if (const auto* variable = p.get<TermPattern::Variable>()) {
    auto bound = m->get(variable->name);
    // A term variable is never invented: only a binding gives it a value.
    if (!bound) return fail(errors::VariableNotFound{variable->name, "pattern to term recursive"});
    const Uid uid = VM_TRY_CTX(bound->as_term(variable->name, "pattern to term recursive"),
                               "graph - pattern to term recursive");
    return term_from_uid(uid);
  }

  if (const auto* application = p.get<TermPattern::Application>()) {
    Term function = VM_TRY_CTX(pattern_to_term_recursive(*application->function, m),
                               "graph - pattern to term recursive");
    Term argument = VM_TRY_CTX(pattern_to_term_recursive(*application->argument, m),
                               "graph - pattern to term recursive");
    auto applied = VM_TRY(typing::Application::create(std::move(function), std::move(argument)));
    return Term(std::move(applied));
  }

  const auto& use = *p.get<TermPattern::Constant>();
  // A copy, so that the constants row is unlocked while the type is built.
  const std::optional<Constant> constant = constants->get(use.name);
  if (!constant) return fail(errors::ConstantNotFound{use.name, positioned("pattern to term recursive")});
  TypePtr type = VM_TRY_CTX(get_constant_type(*constant, use.type_arguments, m), "pattern to term recursive");
  // Built without BasicTerm::create: a use names the constant as declared,
  // whether or not that name is a valid identifier.
  return Term(typing::BasicTerm{constant->name(), std::move(type)});
}

Result<TypePtr> Graph::get_constant_type(const Constant& c, const std::vector<TypeSchema>& args,
                                         const MatchPtr& m) {
  const auto& parameters = c.free_variables();
  if (args.size() != parameters.size())
    return fail(errors::InvalidNumberOfArguments{parameters.size(), args.size(), positioned("get constant type")});

  std::vector<Uid> uids(args.size());
  // Callers may hold a shard lock or a creation unit while they wait here, so
  // this thread must only run the conversions of this call meanwhile.
  Status converted = tbb::this_task_arena::isolate([&]() -> Status {
    return utils::try_for_each_index(args.size(), [&](std::size_t i) -> Status {
      TypePtr type = VM_TRY(type_schema_to_type(args[i], m));
      uids[i] = insert_type(*type);
      return {};
    });
  });
  VM_TRY_CTX(std::move(converted), "get constant type");

  // The arguments bind the constant's parameters in a frame of its own, away
  // from the use's bindings.
  MatchPtr scratch = Match::create();
  for (std::size_t i = 0; i < parameters.size(); ++i)
    VM_TRY_CTX(scratch->insert(parameters[i], MatchElement::type(uids[i])), "get constant type");
  return with_context(type_schema_to_type(c.type_schema(), scratch), "get constant type");
}

Result<std::optional<Term>> Graph::infer_term(const Uid& uid) const {
  std::optional<std::string> chosen;
  std::optional<Report> failure;
  // The map's own order decides among several fitting constants: which one
  // wins is deliberately left undefined.
  constants->for_each_shard([&](const auto& table) {
    for (const auto& [name, constant] : table) {
      if (chosen || failure) return;
      auto checked = check_type_matches(uid, constant.type_schema().pattern(), Match::create());
      if (!checked) {
        failure.emplace(std::move(checked).error().attach("graph - infer term"));
        return;
      }
      if (*checked) chosen = constant.name();
    }
  });
  if (failure) return std::unexpected(std::move(*failure));
  if (!chosen) return std::nullopt;

  TypePtr type = VM_TRY_CTX(type_from_uid(uid), "graph - infer term");
  auto term = VM_TRY_CTX(typing::BasicTerm::create(std::move(*chosen), std::move(type)), "graph - infer term");
  return std::optional<Term>(Term(std::move(term)));
}

// ---- the Python class Graph ---------------------------------------------------------

namespace {

using binding::PyErr;
using binding::PyRef;
using binding::PyResult;

PyGraph& py_graph(PyObject* self) { return binding::unbox<PyGraph>(self); }

PyObject* graph_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return binding::guard([&]() -> PyObject* {
    static const binding::FunctionDescription desc{"Graph", "__new__", {"constants"}, 0, false};
    PyObject* arg[1];
    if (auto r = binding::extract_arguments(desc, args, kwargs, arg); !r)
      return std::move(r).error().restore(), nullptr;
    std::vector<Constant> list;
    if (arg[0] && arg[0] != Py_None) {
      auto r = binding::extract_sequence(arg[0], [&](PyObject* item) -> PyResult<void> {
        const Constant* c = constant_from_py(item);
        if (!c) return std::unexpected(binding::cast_error(item, "Constant"));
        list.push_back(*c);
        return {};
      });
      if (!r) return binding::argument_error("constants", std::move(r).error()).restore(), nullptr;
    }
    PyGraph value{std::make_shared<Graph>(list), nullptr};
    return binding::into_ptr(binding::alloc_instance(reinterpret_cast<PyObject*>(type), std::move(value)));
  });
}

PyObject* graph_subgraph(PyObject* self, PyObject* args, PyObject* kwargs) {
  return binding::guard([&]() -> PyObject* {
    static const binding::FunctionDescription desc{"Graph", "subgraph", {"nodes"}, 1, false};
    PyObject* arg[1];
    if (auto r = binding::extract_arguments(desc, args, kwargs, arg); !r)
      return std::move(r).error().restore(), nullptr;
    auto texts = binding::extract_str_vec(arg[0]);
    if (!texts) return binding::argument_error("nodes", std::move(texts).error()).restore(), nullptr;
    auto subset = std::make_shared<NodeUidSet>();
    for (const auto& text : *texts)
      subset->insert(VM_PY_TRY(with_context(utils::hex_str_to_uid(text), "graph - subgraph")));
    // Always a plain Graph, whatever the receiver's class; its own subset is not read.
    return binding::into_ptr(binding::new_instance(graph_class(), PyGraph{py_graph(self).graph, subset}));
  });
}

PyObject* graph_query(PyObject* self, PyObject*) {
  return binding::guard([&]() -> PyObject* {
    const auto& g = py_graph(self);
    return binding::into_ptr(query::new_query(g.graph, g.subset));
  });
}

// Makes the Python list of references after the parallel collection.
template <class Key, class Make>
PyObject* reference_list(const std::vector<Key>& keys, Make make) {
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) return nullptr;
  for (const Key& key : keys) {
    auto obj = query::references::reference_to_py(make(key));
    if (!obj) return binding::into_ptr(std::move(obj));
    if (PyList_Append(list.get(), obj->get()) < 0) return nullptr;
  }
  return list.release();
}

template <class K, class V>
const K& key_of(const std::pair<const K, V>& entry) {
  return entry.first;
}
template <class K>
const K& key_of(const K& key) {
  return key;
}

// Every key of `index` (filtered by `keep`), collected shard by shard on the pool.
template <class Key, class Index, class Keep>
std::vector<Key> collect_keys(const Index& index, Keep keep) {
  std::mutex mutex;
  std::vector<Key> out;
  index.for_each_shard_parallel([&](const auto& table) {
    std::vector<Key> part;
    for (const auto& entry : table) {
      const Key& key = key_of(entry);
      if (keep(key)) part.push_back(key);
    }
    std::lock_guard lock(mutex);
    out.insert(out.end(), part.begin(), part.end());
  });
  return out;
}

PyObject* graph_nodes(PyObject* self, PyObject*) {
  return binding::guard([&]() -> PyObject* {
    const auto& g = py_graph(self);
    auto all = [](const Uid&) { return true; };
    const auto uids = g.subset ? collect_keys<Uid>(*g.subset, all) : collect_keys<Uid>(*g.graph->node_index, all);
    return reference_list(uids, [&](const Uid& u) { return query::references::NodeRef{g.graph, u}; });
  });
}

PyObject* graph_edges(PyObject* self, PyObject*) {
  return binding::guard([&]() -> PyObject* {
    const auto& g = py_graph(self);
    const auto keys = collect_keys<EdgeKey>(*g.graph->edge_index, [&](const EdgeKey& key) {
      return !g.subset || (g.subset->contains(key.first) && g.subset->contains(key.second));
    });
    return reference_list(keys, [&](const EdgeKey& k) { return query::references::EdgeRef{g.graph, k}; });
  });
}

// The shared steps of the two bulk setters: arguments, staging on the caller's
// thread (nothing is written if any entry fails), then the parallel update.
template <class Key, class Decode, class Apply>
PyObject* set_properties_from_py(PyObject* args, PyObject* kwargs, const char* method, Decode decode,
                                 Apply apply) {
  const binding::FunctionDescription desc{"Graph", method, {"map", "overwrite"}, 1, false};
  PyObject* arg[2];
  if (auto r = binding::extract_arguments(desc, args, kwargs, arg); !r)
    return std::move(r).error().restore(), nullptr;
  bool overwrite = true;
  if (arg[1]) {
    auto b = binding::extract_bool(arg[1]);
    if (!b) return binding::argument_error("overwrite", std::move(b).error()).restore(), nullptr;
    overwrite = *b;
  }
  if (!PyDict_Check(arg[0])) return binding::cast_error(arg[0], "dict").restore(), nullptr;

  absl::flat_hash_map<Key, PropertyMap, UidHash> staged;
  PyObject *key = nullptr, *value = nullptr;
  Py_ssize_t pos = 0;
  while (PyDict_Next(arg[0], &pos, &key, &value)) {
    auto decoded = decode(key);
    if (!decoded) return std::move(decoded).error().restore(), nullptr;
    auto k = VM_PY_TRY(with_context(std::move(*decoded), "graph - set node properties"));
    auto map = VM_PY_TRY(with_context(PropertyMap::from_py(value), "graph - set node properties"));
    staged.insert_or_assign(k, std::move(map));
  }
  // Each map is made here for its one row and read by nothing else: the rows
  // take them over.
  const std::vector<std::pair<Key, PropertyMap>> items(staged.begin(), staged.end());
  VM_PY_TRY(with_context(utils::try_for_each(std::span<const std::pair<Key, PropertyMap>>(items),
                                             [&](const auto& item) { return apply(item.first, item.second, overwrite); }),
                         "graph - set node properties"));
  Py_RETURN_NONE;
}

// A str key as a uid: the cast failure is a Python error, a bad text a report.
PyResult<Result<Uid>> decode_uid_key(PyObject* key) {
  auto text = binding::extract_str(key);
  if (!text) return std::unexpected(std::move(text).error());
  return utils::hex_str_to_uid(*text);
}

PyResult<Result<EdgeKey>> decode_edge_key(PyObject* key) {
  if (!PyTuple_Check(key)) return std::unexpected(binding::cast_error(key, "tuple"));
  const Py_ssize_t len = PyTuple_Size(key);
  if (len != 2)
    return std::unexpected(
        PyErr::make(PyExc_ValueError, fmt::format("expected tuple of length 2, but got tuple of length {}", len)));
  auto start = binding::extract_str(PyTuple_GetItem(key, 0));
  if (!start) return std::unexpected(std::move(start).error());
  auto end = binding::extract_str(PyTuple_GetItem(key, 1));
  if (!end) return std::unexpected(std::move(end).error());
  auto s = utils::hex_str_to_uid(*start);
  if (!s) return Result<EdgeKey>(std::unexpected(std::move(s).error()));
  auto e = utils::hex_str_to_uid(*end);
  if (!e) return Result<EdgeKey>(std::unexpected(std::move(e).error()));
  return Result<EdgeKey>(EdgeKey{*s, *e});
}

PyObject* graph_set_node_properties(PyObject* self, PyObject* args, PyObject* kwargs) {
  return binding::guard([&]() -> PyObject* {
    Graph& g = *py_graph(self).graph;
    return set_properties_from_py<Uid>(args, kwargs, "set_node_properties", decode_uid_key,
                                       [&](const Uid& uid, const PropertyMap& map, bool overwrite) {
                                         return g.set_node_properties(uid, map, overwrite, true);
                                       });
  });
}

PyObject* graph_set_edge_properties(PyObject* self, PyObject* args, PyObject* kwargs) {
  return binding::guard([&]() -> PyObject* {
    Graph& g = *py_graph(self).graph;
    return set_properties_from_py<EdgeKey>(args, kwargs, "set_edge_properties", decode_edge_key,
                                           [&](const EdgeKey& key, const PropertyMap& map, bool overwrite) {
                                             return g.set_edge_properties(key, map, overwrite, true);
                                           });
  });
}

PyMethodDef kGraphMethods[] = {
    {"subgraph", binding::with_keywords(&graph_subgraph),
     METH_VARARGS | METH_KEYWORDS, "subgraph($self, nodes)\n--\n\n"},
    {"query", graph_query, METH_NOARGS, "query($self)\n--\n\n"},
    {"nodes", graph_nodes, METH_NOARGS, "nodes($self)\n--\n\n"},
    {"edges", graph_edges, METH_NOARGS, "edges($self)\n--\n\n"},
    {"set_node_properties", binding::with_keywords(&graph_set_node_properties),
     METH_VARARGS | METH_KEYWORDS, "set_node_properties($self, map, overwrite=True)\n--\n\n"},
    {"set_edge_properties", binding::with_keywords(&graph_set_edge_properties),
     METH_VARARGS | METH_KEYWORDS, "set_edge_properties($self, map, overwrite=True)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

binding::ClassSpec& graph_class() {
  static binding::ClassSpec spec{"builtins.Graph",
                                 "Graph(constants=None)\n--\n\n",
                                 sizeof(binding::Boxed<PyGraph>),
                                 &binding::dealloc_boxed<PyGraph>,
                                 kGraphMethods,
                                 nullptr,
                                 {{Py_tp_new, reinterpret_cast<void*>(&graph_new)}}};
  return spec;
}

}  // namespace velmora::graph
