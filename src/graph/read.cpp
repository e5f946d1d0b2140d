// Reading the store: rebuilding types and terms from their rows, the checks
// a rebuild makes, look-ups of a type's parts, and the text forms.
#include <absl/container/flat_hash_map.h>
#include <absl/container/flat_hash_set.h>

#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "graph/failures.hpp"
#include "graph/store.hpp"
#include "utils/source_position.hpp"

// Part of the store: its context lines print the store's module.
VELMORA_MODULE("src/graph/base");

namespace velmora::graph {
namespace {

using failures::attach_times;
using failures::corruption;
using failures::self_containing_row;

Result<TypePtr> rebuild_type(const TypeTable& types, TypeId root) {
  // Post-order over the rows; a row met twice is built once. Only the
  // outermost row reports its own failure: a side that cannot be rebuilt
  // makes the whole arrow a broken row.
  absl::flat_hash_map<TypeId, TypePtr> built;
  std::vector<std::pair<TypeId, bool>> stack{{root, false}};
  while (!stack.empty()) {
    auto [id, sides_done] = stack.back();
    stack.pop_back();
    if (built.contains(id)) continue;
    if (types.is_variable(id)) {
      auto var = typing::Variable::create(std::string(types.variable_name(id)));
      if (!var) {
        if (id == root) return std::unexpected(std::move(var).error().attach("graph - type from uid"));
        return fail(corruption("type repr points to a uid that does not belong to the index!", "type from uid"));
      }
      built.emplace(id, typing::make_type(std::move(*var)));
      continue;
    }
    const TypeId left = types.left(id), right = types.right(id);
    if (!sides_done) {
      stack.push_back({id, true});
      stack.push_back({right, false});
      stack.push_back({left, false});
      continue;
    }
    built.emplace(id, typing::make_arrow(built.at(left), built.at(right)));
  }
  return built.at(root);
}

// The text of a stored type. Every side of a stored arrow is stored, so
// rendering cannot fail once the outer row is found.
std::string render_type(const TypeTable& types, TypeId root) {
  std::string out;
  // Items: a row to render, or a literal piece of text.
  std::vector<std::variant<TypeId, const char*>> stack{root};
  while (!stack.empty()) {
    auto item = stack.back();
    stack.pop_back();
    if (const auto* text = std::get_if<const char*>(&item)) {
      out += *text;
      continue;
    }
    const TypeId id = std::get<TypeId>(item);
    if (types.is_variable(id)) {
      out += types.variable_name(id);
      continue;
    }
    stack.emplace_back(")");
    stack.emplace_back(types.right(id));
    stack.emplace_back(" -> ");
    stack.emplace_back(types.left(id));
    out += '(';
  }
  return out;
}

}  // namespace

Result<TypePtr> Graph::type_from_uid(const Uid& uid) const {
  const auto id = types_->find(uid);
  if (!id) return fail(errors::TypeNotFound{uid, "type from uid"});
  return rebuild_type(*types_, *id);
}

Result<Term> Graph::term_from_uid(const Uid& uid) const {
  const auto root = types_->find(uid);
  if (!root || types_->term(*root).none()) return fail(errors::TermNotFound{uid, "term from uid"});
  // The checks in the order of a recursive rebuild: a row's type, then its
  // function, then its argument, then the application. Rows met twice are
  // built once.
  struct Frame {
    TypeId id;
    TermWord word;
    int state;
  };
  absl::flat_hash_map<TypeId, Term> built;
  absl::flat_hash_set<TypeId> open;
  std::vector<Frame> stack;
  const auto enter = [&](TypeId id) -> Status {
    if (built.contains(id)) return {};
    if (open.contains(id)) return fail(self_containing_row("term from uid"));
    const TermWord word = types_->term(id);
    if (word.none()) return fail(errors::TermNotFound{types_->uid(id), "term from uid"});
    TypePtr type = VM_TRY(rebuild_type(*types_, id));
    if (word.is_basic()) {
      auto basic = VM_TRY(typing::BasicTerm::create(std::string(types_->name(word.name())), std::move(type)));
      built.emplace(id, Term(std::move(basic)));
      return {};
    }
    open.insert(id);
    stack.push_back({id, word, 0});
    return {};
  };
  VM_TRY(enter(*root));
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.state == 0) {
      frame.state = 1;
      VM_TRY(enter(frame.word.function()));
    } else if (frame.state == 1) {
      frame.state = 2;
      VM_TRY(enter(frame.word.argument()));
    } else {
      auto app = VM_TRY(typing::Application::create(built.at(frame.word.function()), built.at(frame.word.argument())));
      open.erase(frame.id);
      built.emplace(frame.id, Term(std::move(app)));
      stack.pop_back();
    }
  }
  return built.at(*root);
}

Status Graph::check_term(TypeId root, TypeId watch, bool& reaches, const absl::flat_hash_set<TypeId>* valid) const {
  // term_from_uid's checks on every row the term reaches, without building
  // the term; the application's type check always holds for stored rows.
  absl::flat_hash_set<TypeId> seen;
  std::vector<TypeId> stack{root};
  while (!stack.empty()) {
    const TypeId id = stack.back();
    stack.pop_back();
    if (id == watch) {
      reaches = true;
      continue;
    }
    if (!seen.insert(id).second || (valid && valid->contains(id))) continue;
    const TermWord word = types_->term(id);
    if (word.none()) return fail(errors::TermNotFound{types_->uid(id), "term from uid"});
    TypePtr type = VM_TRY(rebuild_type(*types_, id));
    if (word.is_basic()) {
      VM_TRY(typing::BasicTerm::create(std::string(types_->name(word.name())), std::move(type)));
      continue;
    }
    stack.push_back(word.argument());
    stack.push_back(word.function());
  }
  return {};
}

Result<std::optional<std::string>> Graph::type_as_var(const Uid& uid) const {
  const auto id = types_->find(uid);
  if (!id) return fail(errors::TypeNotFound{uid, "type as var"});
  if (types_->is_variable(*id)) return std::optional<std::string>(types_->variable_name(*id));
  return std::optional<std::string>();
}

Result<std::optional<std::pair<Uid, Uid>>> Graph::type_as_arrow(const Uid& uid) const {
  const auto id = types_->find(uid);
  if (!id) return fail(errors::TypeNotFound{uid, "type as arrow"});
  if (types_->is_variable(*id)) return std::optional<std::pair<Uid, Uid>>();
  return std::optional<std::pair<Uid, Uid>>(std::pair{types_->uid(types_->left(*id)), types_->uid(types_->right(*id))});
}

Result<Uid> Graph::get_edge_type(const EdgeKey& key) const {
  const auto id = edge_id(key);
  if (!id) return fail(errors::EdgeNotFound{key, "graph - get edge type"});
  return types_->uid(*id);
}

// ---- text forms ---------------------------------------------------------------

Result<std::string> Graph::type_to_string(const Uid& uid) const {
  const auto id = types_->find(uid);
  if (!id) return fail(errors::TypeNotFound{uid, "type to string"});
  return render_type(*types_, *id);
}

Result<std::string> Graph::term_to_string(const Uid& uid) const {
  const auto root = types_->find(uid);
  if (!root || types_->term(*root).none()) return fail(errors::TermNotFound{uid, "term to string"});
  std::string out;
  // Items: a row to render at a depth (the number of applications around it),
  // or a literal piece of text.
  struct Item {
    TypeId id;
    std::size_t depth;
    const char* text;
  };
  // A term row that refers to itself would never end; no term is deeper than
  // the number of stored types.
  const std::size_t limit = std::size_t{types_->allocated()} + 1;
  std::vector<Item> stack{{*root, 0, nullptr}};
  while (!stack.empty()) {
    const Item item = stack.back();
    stack.pop_back();
    if (item.text) {
      out += item.text;
      continue;
    }
    const TermWord word = types_->term(item.id);
    if (word.none())
      return std::unexpected(attach_times(Report(errors::TermNotFound{types_->uid(item.id), "term to string"}),
                                          "graph - term to string", item.depth));
    if (item.depth > limit) return fail(self_containing_row("term to string"));
    if (word.is_basic()) {
      out += types_->name(word.name());
      continue;
    }
    stack.push_back({0, 0, ")"});
    stack.push_back({word.argument(), item.depth + 1, nullptr});
    stack.push_back({0, 0, " "});
    stack.push_back({word.function(), item.depth + 1, nullptr});
    out += '(';
  }
  return out;
}

Result<std::string> Graph::node_to_string(const Uid& uid) const {
  const auto id = types_->find(uid);
  std::optional<std::string> text;
  if (id)
    text = nodes_.with_read(*id, [&](const NodeRow& row) {
      auto term = term_to_string(uid);  // a node without a term shows an empty term text
      return "Node(" + render_type(*types_, *id) + ":" + (term ? *term : std::string()) + " " +
             row.properties.to_string() + ")";
    });
  if (!text) return fail(errors::NodeNotFound{uid, "node to string"});
  return std::move(*text);
}

Result<std::string> Graph::edge_to_string(const EdgeKey& key) const {
  const auto id = edge_id(key);
  std::optional<Result<std::string>> text;
  if (id)
    text = edges_.with_read(*id, [&](const PropertyMap& map) -> Result<std::string> {
      auto term = VM_TRY_CTX(term_to_string(types_->uid(*id)), "graph - edge to string");
      return "Edge(" + render_type(*types_, *id) + ":" + term + " " + map.to_string() + ")";
    });
  if (!text) return fail(errors::EdgeNotFound{key, "edge to string"});
  return std::move(*text);
}

}  // namespace velmora::graph
