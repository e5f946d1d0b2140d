#include "graph/base.hpp"

#include <fmt/format.h>
#include <openssl/evp.h>
#include <tbb/task_arena.h>

#include <cstring>
#include <mutex>
#include <span>
#include <string_view>
#include <type_traits>

#include <absl/container/flat_hash_map.h>
#include <absl/container/flat_hash_set.h>

#include "binding/args.hpp"
#include "binding/guard.hpp"
#include "query/base.hpp"
#include "query/references/base.hpp"
#include "utils/hex_to_uid.hpp"
#include "utils/panic.hpp"
#include "utils/parallel.hpp"
#include "utils/validation.hpp"

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
      property_index.overwrite(key, stored, map);
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

namespace {

// Arrow types already rebuilt in one call, by uid: a type that shares a side
// in many places is rebuilt once. Variables are cheap to rebuild and are not
// kept.
using TypeMemo = absl::flat_hash_map<Uid, TypePtr, UidHash>;

std::unexpected<Report> broken_arrow() {
  return fail(corruption("type repr points to a uid that does not belong to the index!", "type from uid"));
}

// The rebuilding of `type_from_uid`, walking an explicit stack: a stored type
// may be deeper than the thread's stack allows. Each row is copied under its
// shard lock and released before its sides are read.
Result<TypePtr> build_type(const Graph& g, const Uid& root, TypeMemo& memo) {
  if (auto it = memo.find(root); it != memo.end()) return it->second;
  auto rep = g.type_index->get(root);
  if (!rep) return fail(errors::TypeNotFound{root, "type from uid"});
  if (rep->tag == TypeRep::Tag::Variable) {
    auto var = VM_TRY_CTX(typing::Variable::create(std::move(rep->name)), "graph - type from uid");
    return typing::make_type(std::move(var));
  }

  // Below the root every failure, of whatever kind and depth, is the broken
  // arrow; a row reached again on its own path is one too.
  struct Frame {
    Uid uid;
    Uid left;
    Uid right;
    int stage = 0;
    TypePtr built_left;
  };
  std::vector<Frame> stack;
  absl::flat_hash_set<Uid, UidHash> on_path;
  stack.push_back({root, rep->left, rep->right});
  on_path.insert(root);
  TypePtr delivered;
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (delivered) {
      if (frame.stage++ == 0) {
        frame.built_left = std::move(delivered);
      } else {
        TypePtr built = typing::make_arrow(std::move(frame.built_left), std::move(delivered));
        memo.emplace(frame.uid, built);
        on_path.erase(frame.uid);
        stack.pop_back();
        delivered = std::move(built);
        continue;
      }
      delivered = nullptr;
    }
    const Uid child = frame.stage == 0 ? frame.left : frame.right;
    if (auto it = memo.find(child); it != memo.end()) {
      delivered = it->second;
      continue;
    }
    auto child_rep = g.type_index->get(child);
    if (!child_rep) return broken_arrow();
    if (child_rep->tag == TypeRep::Tag::Variable) {
      auto var = typing::Variable::create(std::move(child_rep->name));
      if (!var) return broken_arrow();
      delivered = typing::make_type(std::move(*var));
      continue;
    }
    if (!on_path.insert(child).second) return broken_arrow();
    stack.push_back({child, child_rep->left, child_rep->right});
  }
  return delivered;
}

// The rebuilding of `term_from_uid`, walking an explicit stack. At each row:
// its type is rebuilt (a missing one is a corruption), then a basic term is
// checked, or the function and then the argument are rebuilt and applied. The
// first failure in that order is returned unchanged.
Result<Term> build_term(const Graph& g, const Uid& root) {
  TypeMemo types;
  struct Frame {
    Uid uid;
    Uid function;
    Uid argument;
    int stage = 0;
    std::optional<Term> built_function;
  };
  std::vector<Frame> stack;
  absl::flat_hash_set<Uid, UidHash> on_path;
  std::optional<Term> delivered;

  // A basic term is delivered at once; an application gets a frame.
  const auto enter = [&](const Uid& uid) -> Status {
    auto rep = g.term_index->get(uid);
    if (!rep) return fail(errors::TermNotFound{uid, "term from uid"});
    auto type = build_type(g, uid, types);
    if (!type) {
      if (type.error().current_context().is<errors::TypeNotFound>())
        return fail(corruption("Found a term in the TermIndex without its corresponding type in the TypeIndex",
                               "term from uid"));
      return std::unexpected(std::move(type).error());
    }
    if (rep->tag == TermRep::Tag::Basic) {
      auto basic = VM_TRY(typing::BasicTerm::create(std::move(rep->name), std::move(*type)));
      delivered.emplace(std::move(basic));
      return {};
    }
    // Only a store written around its own checks can hold a term that
    // contains itself; rebuilding it would never end.
    if (!on_path.insert(uid).second) return fail(corruption("term repr contains itself", "term from uid"));
    stack.push_back({uid, rep->function, rep->argument});
    return {};
  };

  VM_TRY(enter(root));
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (delivered) {
      if (frame.stage++ == 0) {
        frame.built_function = std::move(delivered);
        delivered.reset();
      } else {
        Term argument = std::move(*delivered);
        delivered.reset();
        auto app = VM_TRY(typing::Application::create(std::move(*frame.built_function), std::move(argument)));
        on_path.erase(frame.uid);
        stack.pop_back();
        delivered.emplace(std::move(app));
        continue;
      }
    }
    VM_TRY(enter(frame.stage == 0 ? frame.function : frame.argument));
  }
  return std::move(*delivered);
}

bool valid_name(std::string_view name) { return utils::validate_variable_name(name).has_value(); }

}  // namespace

Uid Graph::insert_type(const typing::Type& type) {
  // Sides first, left before right, each row once its sides are stored.
  struct Frame {
    const typing::Type* type;
    int stage = 0;
    Uid left{};
  };
  const auto store = [&](TypeRep rep) {
    const Uid uid = rep.uid();
    const bool unchecked = rep.tag == TypeRep::Tag::Variable && !valid_name(rep.name);
    // Equal uids stand for equal representations: a stored one stays.
    if (type_index->insert_if_absent(uid, std::move(rep)) && unchecked) unchecked_names_.store(true);
    return uid;
  };
  std::vector<Frame> stack{{&type}};
  Uid delivered{};
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (const auto* v = frame.type->as_variable()) {
      delivered = store(TypeRep::variable(v->name));
      stack.pop_back();
      continue;
    }
    const auto* arrow = frame.type->as_arrow();
    switch (frame.stage++) {
      case 0: stack.push_back({arrow->left.get()}); break;
      case 1:
        frame.left = delivered;
        stack.push_back({arrow->right.get()});
        break;
      default:
        delivered = store(TypeRep::arrow(frame.left, delivered));
        stack.pop_back();
    }
  }
  return delivered;
}

Graph::TermRows Graph::plan_term(const Term& term) {
  // The rows in the order in which a recursive insertion writes them: the
  // term's type, then the function's rows, the argument's rows, the term's own.
  struct Frame {
    const Term* term;
    Uid uid;
    int stage = 0;
    Uid function{};
  };
  TermRows plan;
  absl::flat_hash_set<Uid, UidHash> on_path;
  std::vector<Frame> stack;
  const auto enter = [&](const Term* t) {
    const Uid uid = insert_type(*t->type());
    if (!on_path.insert(uid).second) return false;
    stack.push_back({t, uid});
    return true;
  };
  if (!enter(&term)) {
    plan.self_containing = true;
    return plan;
  }
  plan.uid = stack.back().uid;
  Uid delivered{};
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (const auto* b = frame.term->as_basic()) {
      if (!valid_name(b->name)) plan.unchecked_names = true;
      plan.rows.emplace_back(frame.uid, TermRep::basic(b->name));
    } else {
      const auto* app = frame.term->as_application();
      const int stage = frame.stage++;
      if (stage == 1) frame.function = delivered;
      if (stage < 2) {
        if (!enter(stage == 0 ? app->function.get() : app->argument.get())) {
          plan.self_containing = true;
          return plan;
        }
        continue;
      }
      plan.rows.emplace_back(frame.uid, TermRep::application(frame.function, delivered));
    }
    delivered = frame.uid;
    on_path.erase(frame.uid);
    stack.pop_back();
  }
  return plan;
}

void Graph::write_term_rows(TermRows& plan) {
  if (plan.unchecked_names) unchecked_names_.store(true);
  for (auto& [uid, rep] : plan.rows) term_index->insert(uid, std::move(rep));
}

Uid Graph::insert_term(const Term& term) {
  TermRows plan = plan_term(term);
  if (plan.self_containing) return insert_type(*term.type());
  write_term_rows(plan);
  return plan.uid;
}

Result<Uid> Graph::store_term(const Term& term) {
  TermRows plan = plan_term(term);
  if (plan.self_containing)
    return fail(errors::InvalidTerm{"term contains a sub-term of the same type as a term enclosing it"});
  write_term_rows(plan);
  return plan.uid;
}

Result<TypePtr> Graph::type_from_uid(const Uid& uid) const {
  TypeMemo memo;
  return build_type(*this, uid, memo);
}

Result<Term> Graph::term_from_uid(const Uid& uid) const { return build_term(*this, uid); }

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

namespace {

// `report` with the propagation's context line attached `times` times: the
// walk along a chain is a loop, but a failure reports one line per level of
// the chain, as a nested propagation would.
Report with_add_node_lines(Report report, std::size_t times) {
  for (std::size_t i = 0; i < times; ++i) report.attach("graph - add node");
  return report;
}

}  // namespace

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

void Graph::add_node_row(const Uid& uid, PropertyMap properties, const CreatedFlag& created) {
  // The edge-set rows go in before the node row, so nobody sees the node
  // without them; an existing node keeps its map and its sets.
  if (node_index->contains(uid)) return;
  start_to_edge_index->insert_if_absent(uid, nullptr);
  end_to_edge_index->insert_if_absent(uid, nullptr);
  if (node_index->insert_if_absent(uid, std::move(properties))) {
    node_index->with_write(uid, [&](const PropertyMap& stored) { node_property_index->add(uid, stored); });
    created->store(true);
  }
}

Result<std::pair<Uid, bool>> Graph::add_node_rows(const TypePtr& type, std::optional<Term> term,
                                                  PropertyMap properties, const CreatedFlag& created) {
  const Uid uid = insert_type(*type);
  bool newly_stored = false;
  if (term && !term_index->contains(uid)) {
    const Uid stored = VM_TRY(store_term(*term));
    if (stored != uid)
      return fail(errors::InvalidTerm{"term provided is of a different type than the type provided"});
    if (term->type()->is_arrow()) VM_TRY(add_arrow_term_edge(*term, created));
    newly_stored = true;
  }
  add_node_row(uid, std::move(properties), created);
  return std::pair{uid, newly_stored};
}

Result<Uid> Graph::add_node(const TypePtr& type, std::optional<Term> term, PropertyMap properties,
                            const CreatedFlag& created) {
  const auto [uid, newly_stored] = VM_TRY(add_node_rows(type, std::move(term), std::move(properties), created));
  if (newly_stored) VM_TRY(propagate_from(uid, created));
  return uid;
}

Status Graph::propagate_from(const Uid& uid, const CreatedFlag& created) {
  auto start_row = start_to_edge_index->get(uid);
  if (!start_row) return fail(corruption("node exists without row in the StartToEdgeIndex", "graph - add node"));
  // The walk goes level by level instead of recursing, so that a chain of any
  // length runs in constant stack: each round runs, in parallel, the edge
  // steps out of the nodes that the round before gave a term. Each round walks
  // a snapshot of those nodes' keys: no lock is held across the insertions.
  std::vector<EdgeKey> frontier = edge_keys(*start_row);
  for (std::size_t depth = 0; !frontier.empty(); ++depth) {
    std::mutex mutex;
    std::vector<EdgeKey> next;
    Status round = utils::try_for_each(std::span<const EdgeKey>(frontier), [&](const EdgeKey& edge) -> Status {
      auto onward = VM_TRY(propagation_step(edge, created));
      if (!onward.empty()) {
        std::lock_guard lock(mutex);
        next.insert(next.end(), onward.begin(), onward.end());
      }
      return {};
    });
    if (!round) return std::unexpected(with_add_node_lines(std::move(round).error(), depth));
    frontier = std::move(next);
  }
  return {};
}

Result<std::vector<EdgeKey>> Graph::propagation_step(const EdgeKey& edge, const CreatedFlag& created) {
  const auto& [start, end] = edge;
  if (term_index->contains(end)) return std::vector<EdgeKey>();

  bool newly_stored = false;
  auto arrow_uid = edge_to_type_index->get(edge);
  // While every stored name is valid and both terms are there, rebuilding the
  // start's term and the edge's cannot fail, and storing their application
  // writes back rows that are stored already: the end's row is all that is
  // new. That keeps a step free of the depth of the start's term.
  if (arrow_uid && !unchecked_names_.load() && term_index->contains(start) && term_index->contains(*arrow_uid)) {
    // Only a type without a term gets one here, so no stored term comes to
    // contain itself.
    newly_stored = term_index->insert_if_absent(end, TermRep::application(*arrow_uid, start));
    if (newly_stored) {
      const auto is_arrow =
          type_index->with_read(end, [](const TypeRep& rep) { return rep.tag == TypeRep::Tag::Arrow; });
      if (is_arrow && *is_arrow) {
        auto stored = VM_TRY_CTX(term_from_uid(end), "graph - add node");
        VM_TRY_CTX(add_arrow_term_edge(stored, created), "graph - add node");
      }
    }
    add_node_row(end, PropertyMap::empty(), created);
  } else {
    auto start_term = VM_TRY_CTX(term_from_uid(start), "graph - add node");
    if (!arrow_uid)
      return fail(corruption("edge exists in EdgeIndex without appearing in EdgeToTypeIndex", "graph - add node"));
    auto function = VM_TRY_CTX(term_from_uid(*arrow_uid), "graph - add node");
    auto applied = VM_TRY_CTX(function.apply(start_term), "graph - add node");
    TypePtr type = applied.type();
    newly_stored = VM_TRY_CTX(add_node_rows(type, std::move(applied), PropertyMap::empty(), created),
                              "graph - add node")
                       .second;
  }
  if (!newly_stored) return std::vector<EdgeKey>();
  auto end_row = start_to_edge_index->get(end);
  if (!end_row)
    return std::unexpected(with_add_node_lines(
        Report(corruption("node exists without row in the StartToEdgeIndex", "graph - add node")), 1));
  return edge_keys(*end_row);
}

Result<EdgeKey> Graph::add_edge(const Term& term, PropertyMap properties, const CreatedFlag& created) {
  const Uid arrow_uid = VM_TRY(store_term(term));
  auto sides = type_index->with_read(arrow_uid, [](const TypeRep& rep) -> std::optional<EdgeKey> {
    if (rep.tag == TypeRep::Tag::Arrow) return EdgeKey{rep.left, rep.right};
    return std::nullopt;
  });
  if (!sides)
    return fail(errors::RuntimeError{"unable to get term rep of a just initialized term", "new edge"});
  if (!*sides) return fail(errors::InvalidTerm{"to create an edge you must provide a term of an arrow type"});
  const EdgeKey key = **sides;
  const auto& [s, e] = key;

  // Both ends must be nodes before any row of the edge is written: an edge
  // recorded in its start's set alone would break every walk out of it.
  if (!start_to_edge_index->contains(s))
    return fail(corruption("start_to_edge_index not initialized for some node already in the graph", "add edge"));
  if (!end_to_edge_index->contains(e))
    return fail(corruption("end_to_edge_index not initialized for some node already in the graph", "add edge"));
  type_to_edge_index->insert(arrow_uid, key);
  edge_to_type_index->insert(key, arrow_uid);
  if (!add_to_row(*start_to_edge_index, s, key))
    return fail(corruption("start_to_edge_index not initialized for some node already in the graph", "add edge"));
  if (!add_to_row(*end_to_edge_index, e, key)) {
    // The end was removed since the check: the start's set gives the key back.
    start_to_edge_index->with_read(s, [&](const EdgeSetPtr& set) { return set && set->erase(key); });
    return fail(corruption("end_to_edge_index not initialized for some node already in the graph", "add edge"));
  }
  if (store_edge_row(*edge_index, *edge_property_index, key, std::move(properties))) created->store(true);

  // One step only: the end node's term is stored directly, without
  // propagating along its own outgoing edges.
  if (term_index->contains(s) && !term_index->contains(e)) {
    if (!unchecked_names_.load()) {
      // As in the propagation: only the end's row is new, named by uids.
      term_index->insert_if_absent(e, TermRep::application(arrow_uid, s));
      if (!type_to_edge_index->contains(e)) {
        const auto is_arrow =
            type_index->with_read(e, [](const TypeRep& rep) { return rep.tag == TypeRep::Tag::Arrow; });
        if (is_arrow && *is_arrow) {
          auto rebuilt = VM_TRY(term_from_uid(e));
          VM_TRY(add_arrow_term_edge(rebuilt, created));
        }
      }
    } else {
      auto start_term = VM_TRY(term_from_uid(s));
      auto applied = VM_TRY(term.apply(start_term));
      const Uid end_uid = insert_term(applied);
      if (!type_to_edge_index->contains(end_uid)) {
        auto rebuilt = VM_TRY(term_from_uid(end_uid));
        if (rebuilt.type()->is_arrow()) VM_TRY(add_arrow_term_edge(rebuilt, created));
      }
    }
  }
  return key;
}

// ---- removal ---------------------------------------------------------------------

bool Graph::erase_from_row(utils::ShardedMap<Uid, EdgeSetPtr, UidHash>& index, const Uid& node,
                           const EdgeKey& key) {
  const auto erase = [&](const EdgeSetPtr& set) { return set && set->erase(key); };
  if (auto erased = index.with_read(node, erase)) return *erased;
  // Removing a node takes its NodeIndex row before its edge-set rows, and
  // another task may finish removing one of its edges meanwhile: the set went
  // with the node. A node still there without its row is a broken store,
  // unless it came back in between (its rows go in before its NodeIndex row).
  if (!node_index->contains(node)) return true;
  const auto erase_if_there = [&](const EdgeSetPtr& set) {
    if (set) set->erase(key);
    return true;
  };
  return index.with_read(node, erase_if_there).has_value();
}

Result<std::optional<EdgeKey>> Graph::remove_edge(const EdgeKey& key) {
  edge_index->with_write(key, [&](const PropertyMap& stored) { edge_property_index->remove(key, stored); });
  if (!edge_index->remove(key)) return std::optional<EdgeKey>();
  auto arrow_uid = edge_to_type_index->remove(key);
  if (!arrow_uid) return std::optional<EdgeKey>();
  if (!type_to_edge_index->remove(*arrow_uid))
    return fail(corruption("type_to_edge_index lacks a pair that is contained in the edge_to_type_index",
                           "remove edge"));
  if (!erase_from_row(*start_to_edge_index, key.first, key))
    return fail(corruption("start_to_edge_index not initialized for some node already in the graph", "remove edge"));
  if (!erase_from_row(*end_to_edge_index, key.second, key))
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
                    bool overwrite) {
  return index.with_write(key, [&](PropertyMap& stored) {
    if (overwrite) {
      property_index.overwrite(key, stored, map);
      stored = map;
      return;
    }
    auto entries = map.iter();
    property_index.merge(key, stored, entries);
    for (auto& [k, v] : entries) stored.insert(std::move(k), std::move(v));
  });
}

}  // namespace

Status Graph::set_node_properties(const Uid& uid, const PropertyMap& map, bool overwrite) {
  // Overwrite stores a map of the row's own: one set operation gives its map
  // to every match, and a later merge into one of them must not show in the
  // others, nor in the caller's map.
  if (!set_properties(*node_index, *node_property_index, uid, overwrite ? map.copy() : map, overwrite))
    return fail(errors::NodeNotFound{uid, "graph - set node properties"});
  return {};
}

Status Graph::set_edge_properties(const EdgeKey& key, const PropertyMap& map, bool overwrite) {
  // A copy of its own, as for nodes.
  if (!set_properties(*edge_index, *edge_property_index, key, overwrite ? map.copy() : map, overwrite))
    return fail(errors::EdgeNotFound{key, "graph - set node properties"});
  return {};
}

// ---- text forms -------------------------------------------------------------------

namespace {

// The text of a stored type or term, written by walking an explicit stack: a
// stored value may be deeper than the thread's stack allows. `open` gives a
// row's text when it has no parts, or else its parts and the texts around
// them. A part that cannot be read fails with its own report and one context
// line per level above it, as the recursive form attached them.
struct TextPart {
  enum class Kind : std::uint8_t { Row, Text, Leave } kind;
  Uid uid{};
  std::string_view text{};
  std::size_t depth = 0;
};

template <class Rep, class Index, class Open, class Missing>
Result<std::string> write_text(const Index& index, const Uid& root, const char* line, const char* cycle_message,
                               const char* cycle_context, Open open, Missing missing) {
  std::string out;
  std::vector<TextPart> pending{{TextPart::Kind::Row, root}};
  absl::flat_hash_set<Uid, UidHash> on_path;
  while (!pending.empty()) {
    const TextPart part = pending.back();
    pending.pop_back();
    if (part.kind == TextPart::Kind::Text) {
      out += part.text;
      continue;
    }
    if (part.kind == TextPart::Kind::Leave) {
      on_path.erase(part.uid);
      continue;
    }
    auto rep = index.get(part.uid);
    if (!rep) {
      Report report = missing(part.uid);
      for (std::size_t i = 0; i < part.depth; ++i) report.attach(line);
      return std::unexpected(std::move(report));
    }
    const std::optional<std::pair<Uid, Uid>> sides = open(*rep, out);
    if (!sides) continue;
    if (!on_path.insert(part.uid).second) return fail(corruption(cycle_message, cycle_context));
    const auto& [first, second] = *sides;
    pending.push_back({TextPart::Kind::Leave, part.uid});
    pending.push_back({TextPart::Kind::Text, {}, ")"});
    pending.push_back({TextPart::Kind::Row, second, {}, part.depth + 1});
    pending.push_back({TextPart::Kind::Text, {}, std::is_same_v<Rep, TypeRep> ? " -> " : " "});
    pending.push_back({TextPart::Kind::Row, first, {}, part.depth + 1});
    out += '(';
  }
  return out;
}

}  // namespace

Result<std::string> Graph::type_to_string(const Uid& uid) const {
  return write_text<TypeRep>(
      *type_index, uid, "graph - type to string", "type repr contains itself", "type to string",
      [](const TypeRep& rep, std::string& out) -> std::optional<std::pair<Uid, Uid>> {
        if (rep.tag == TypeRep::Tag::Arrow) return std::pair{rep.left, rep.right};
        out += rep.name;
        return std::nullopt;
      },
      [](const Uid& missing) { return Report(errors::TypeNotFound{missing, "type to string"}); });
}

Result<std::string> Graph::term_to_string(const Uid& uid) const {
  return write_text<TermRep>(
      *term_index, uid, "graph - term to string", "term repr contains itself", "term to string",
      [](const TermRep& rep, std::string& out) -> std::optional<std::pair<Uid, Uid>> {
        if (rep.tag == TermRep::Tag::Application) return std::pair{rep.function, rep.argument};
        out += rep.name;
        return std::nullopt;
      },
      [](const Uid& missing) { return Report(errors::TermNotFound{missing, "term to string"}); });
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
                                         return g.set_node_properties(uid, map, overwrite);
                                       });
  });
}

PyObject* graph_set_edge_properties(PyObject* self, PyObject* args, PyObject* kwargs) {
  return binding::guard([&]() -> PyObject* {
    Graph& g = *py_graph(self).graph;
    return set_properties_from_py<EdgeKey>(args, kwargs, "set_edge_properties", decode_edge_key,
                                           [&](const EdgeKey& key, const PropertyMap& map, bool overwrite) {
                                             return g.set_edge_properties(key, map, overwrite);
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
