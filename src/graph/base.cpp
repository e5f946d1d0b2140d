// The digest's own functions, which the library marks as superseded by its
// generic interface: a uid hashes a few dozen bytes, and that interface's set-up
// on every call cost more than the hashing.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "graph/base.hpp"

#include <absl/container/flat_hash_map.h>
#include <absl/container/flat_hash_set.h>
#include <absl/container/inlined_vector.h>
#include <openssl/sha.h>
#include <tbb/task_arena.h>
#include <tbb/task_group.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <span>

#include "parallel.hpp"
#include "utils/panic.hpp"

namespace velmora::graph {
namespace {

errors::IndexCorruption corruption(const char* message, const char* context) {
  return errors::IndexCorruption{message, std::string(context)};
}

auto bytes(std::string_view text) { return std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()); }

// No row has this id: a watch that nothing reaches.
constexpr TypeId kNoRow = kMaxTypeId + 1;

// The digested parts go in as one piece where they fit a small buffer: the
// digest copies every short piece into its block buffer, and these copies
// cost about as much as hashing the block.
Uid variable_uid(std::string_view name) {
  constexpr std::string_view kPrefix = "var:";
  std::array<std::uint8_t, 124> buffer;
  if (name.size() > buffer.size() - kPrefix.size()) return sha256({bytes(kPrefix), bytes(name)});
  std::memcpy(buffer.data(), kPrefix.data(), kPrefix.size());
  std::memcpy(buffer.data() + kPrefix.size(), name.data(), name.size());
  return sha256({std::span<const std::uint8_t>(buffer.data(), kPrefix.size() + name.size())});
}
Uid arrow_uid(const Uid& left, const Uid& right) {
  std::array<std::uint8_t, 4 + 32 + 1 + 32> buffer;
  static_assert(sizeof(Uid) == 32);
  std::memcpy(buffer.data(), "arr:", 4);
  std::memcpy(buffer.data() + 4, left.data(), 32);
  buffer[36] = ':';
  std::memcpy(buffer.data() + 37, right.data(), 32);
  return sha256({std::span<const std::uint8_t>(buffer)});
}

// Attaches `line` `times` times: one line per level of propagation that a
// failure passed through.
Report attach_times(Report report, const char* line, std::size_t times,
                    std::source_location where = std::source_location::current()) {
  for (std::size_t i = 0; i < times; ++i) report.attach(line, where);
  return report;
}

// fn(tables) with the write locks of the node shards `shards` (ascending,
// without repeats) held, taken in that order; tables[i] is shard i's table.
using NodeTables = std::array<NodeTable::Table*, NodeTable::shard_count()>;
template <class Fn>
void with_node_shards(NodeTable& nodes, std::span<const std::size_t> shards, NodeTables& tables, Fn&& fn) {
  if (shards.empty()) {
    fn(tables);
    return;
  }
  nodes.with_shard_write(shards.front(), [&](NodeTable::Table& table) {
    tables[shards.front()] = &table;
    with_node_shards(nodes, shards.subspan(1), tables, fn);
  });
}

void sort_unique(std::vector<std::size_t>& shards) {
  std::sort(shards.begin(), shards.end());
  shards.erase(std::unique(shards.begin(), shards.end()), shards.end());
}

NodeRow* find_row(NodeTables& tables, TypeId id) {
  auto& table = *tables[NodeTable::shard_of(id)];
  auto it = table.find(id);
  return it == table.end() ? nullptr : &it->second;
}

// Ids of short names a thread stored last, per store. An entry never goes
// stale: names and types are never removed, and the serial tells stores
// apart (an address could be reused).
class RecentNames {
 public:
  static constexpr std::size_t kLongest = 16;

  std::optional<std::uint32_t> find(std::uint64_t serial, std::string_view text) const {
    const Slot* slot = holding(serial, text);
    if (!slot || slot->id == kAbsent) return std::nullopt;
    return slot->id;
  }
  // Whether a look-up of `text` found nothing when it was last made. Only a
  // hint: another thread may have stored it since.
  bool absent(std::uint64_t serial, std::string_view text) const {
    const Slot* slot = holding(serial, text);
    return slot && slot->id == kAbsent;
  }
  void remember_absent(std::uint64_t serial, std::string_view text) { remember(serial, text, kAbsent); }
  void remember(std::uint64_t serial, std::string_view text, std::uint32_t id) {
    if (text.empty() || text.size() > kLongest) return;
    Slot& slot = slots_[index(text)];
    slot.serial = serial;
    slot.id = id;
    slot.size = static_cast<std::uint32_t>(text.size());
    std::memcpy(slot.bytes, text.data(), text.size());
  }

 private:
  static constexpr std::uint32_t kAbsent = ~std::uint32_t{0};
  struct Slot {
    std::uint64_t serial = 0;
    std::uint32_t id = 0;
    std::uint32_t size = 0;
    char bytes[kLongest];
  };
  const Slot* holding(std::uint64_t serial, std::string_view text) const {
    if (text.empty() || text.size() > kLongest) return nullptr;
    const Slot& slot = slots_[index(text)];
    const bool same =
        slot.serial == serial && slot.size == text.size() && std::memcmp(slot.bytes, text.data(), text.size()) == 0;
    return same ? &slot : nullptr;
  }
  static std::size_t index(std::string_view text) {
    std::uint32_t h = static_cast<std::uint32_t>(text.size());
    for (const char c : text) h = h * 31u + static_cast<unsigned char>(c);
    return (h * 0x9E3779B1u) >> (32 - 5);
  }
  std::array<Slot, 32> slots_{};
};

// This thread's table of type `Table` for the use `Tag`, made on first use;
// held through a pointer: the module's static thread-local space is small.
template <class Table, class Tag = Table>
Table& thread_table() {
  thread_local std::unique_ptr<Table> table;
  if (!table) table = std::make_unique<Table>();
  return *table;
}

struct TermNames;
struct VariableNames;

// The id of the name `text` in `types`, storing it when new. Terms are
// named after a handful of constants: the same few names come again and again.
std::uint32_t name_id(TypeTable& types, std::uint64_t serial, std::string_view text) {
  RecentNames& recent = thread_table<RecentNames, TermNames>();
  if (auto known = recent.find(serial, text)) return *known;
  const std::uint32_t id = types.add_name(text);
  recent.remember(serial, text, id);
  return id;
}

}  // namespace

Uid sha256(std::initializer_list<std::span<const std::uint8_t>> parts) {
  SHA256_CTX ctx;
  Uid out{};
  bool ok = SHA256_Init(&ctx) == 1;
  for (const auto& part : parts) ok = ok && SHA256_Update(&ctx, part.data(), part.size()) == 1;
  if (!ok || SHA256_Final(out.data(), &ctx) != 1) panic("SHA-256 digest failed");
  return out;
}

namespace {

std::uint64_t next_serial() {
  static std::atomic<std::uint64_t> counter{0};
  return counter.fetch_add(1, std::memory_order_relaxed) + 1;
}

}  // namespace

Uid TypeRep::uid() const {
  if (tag == Tag::Variable) return variable_uid(name);
  return arrow_uid(left, right);
}

Graph::Graph(const std::vector<Constant>& list)
    : types(std::make_shared<TypeTable>()),
      nodes(std::make_shared<NodeTable>()),
      edges(std::make_shared<EdgeTable>(types)),
      constants(std::make_shared<const ConstantTable>(list)),
      node_property_index(std::make_shared<NodePropertyIndex>(types)),
      edge_property_index(std::make_shared<EdgePropertyIndex>(types)),
      serial_(next_serial()) {}

// ---- types and terms ---------------------------------------------------------

TypeId Graph::store_type(const typing::Type& root, StoredTypes* stored, const TypePtr* handle) {
  // Sides first, each arrow once both its sides have ids: an explicit stack,
  // so that a deep type does not deepen the call stack.
  struct Frame {
    const typing::Type* type;
    const TypePtr* handle;  // null for a root given without one
    bool sides_done;
  };
  absl::InlinedVector<Frame, 8> stack{{&root, handle, false}};
  absl::InlinedVector<TypeId, 8> ids;
  const auto remember = [&](const Frame& frame, TypeId id) {
    if (stored && frame.handle) stored->add(*frame.handle, id);
    ids.push_back(id);
  };
  while (!stack.empty()) {
    Frame frame = stack.back();
    stack.pop_back();
    if (!frame.sides_done && stored) {
      if (auto known = stored->find(frame.type)) {
        ids.push_back(*known);
        continue;
      }
    }
    if (const auto* v = frame.type->as_variable()) {
      remember(frame, variable_id(v->name));
      continue;
    }
    const auto* a = frame.type->as_arrow();
    if (!frame.sides_done) {
      stack.push_back({frame.type, frame.handle, true});
      stack.push_back({a->right.get(), &a->right, false});
      stack.push_back({a->left.get(), &a->left, false});
      continue;
    }
    const TypeId right = ids.back();
    ids.pop_back();
    const TypeId left = ids.back();
    ids.pop_back();
    remember(frame, arrow_id(left, right));
  }
  return ids.back();
}

TypeId Graph::insert_type(const TypePtr& type, StoredTypes& stored) { return store_type(*type, &stored, &type); }

namespace {

// The arrows a thread stored or asked for last. A creation stores the same
// arrow several times (inference, then the edge), and the digest of an arrow
// may be taken ahead of its storing (see Graph::prefetch_arrow). An entry
// never goes stale: rows are never removed, and the serial tells stores apart.
struct RecentArrow {
  std::uint64_t serial = 0;
  TypeId left = 0, right = 0;
  std::optional<TypeId> id;  // none while only the digest is known
  Uid uid{};
};

RecentArrow& recent_arrow(TypeId left, TypeId right) {
  auto& recent = thread_table<std::array<RecentArrow, 64>>();
  return recent[(left * 0x9E3779B1u ^ right) % recent.size()];
}

}  // namespace

TypeId Graph::arrow_id(TypeId left, TypeId right) {
  RecentArrow& slot = recent_arrow(left, right);
  const bool known = slot.serial == serial_ && slot.left == left && slot.right == right;
  if (known && slot.id) return *slot.id;
  // An arrow whose digest was taken ahead is most often about to be stored
  // for the first time: it is added at once (see TypeTable::add_arrow).
  const Uid uid = known ? slot.uid : arrow_uid(types->uid(left), types->uid(right));
  const TypeId id = types->add_arrow(uid, left, right, known);
  slot = {serial_, left, right, id, uid};
  return id;
}

void Graph::prefetch_arrow(TypeId tail, TypeId head) {
  RecentArrow& slot = recent_arrow(tail, head);
  if (slot.serial == serial_ && slot.left == tail && slot.right == head) return;
  slot = {serial_, tail, head, std::nullopt, arrow_uid(types->uid(tail), types->uid(head))};
  types->prefetch(slot.uid);
}

void Graph::look_up_variables(std::span<const std::string_view> names, std::optional<TypeId>* ids) {
  constexpr std::size_t kMost = kKeysAtOnce;
  RecentNames& recent = thread_table<RecentNames, VariableNames>();
  std::array<std::string_view, kMost> wanted;
  std::array<std::size_t, kMost> position;
  std::size_t count = 0;
  for (std::size_t i = 0; i < std::min(names.size(), kMost); ++i) {
    ids[i] = recent.find(serial_, names[i]);
    if (!ids[i]) {
      position[count] = i;
      wanted[count++] = names[i];
    }
  }
  std::array<std::optional<TypeId>, kMost> found;
  types->find_variables(std::span(wanted.data(), count), found.data());
  for (std::size_t i = 0; i < count; ++i) {
    if (!found[i]) {
      // Most often about to be stored by this creation (see variable_id).
      recent.remember_absent(serial_, wanted[i]);
      continue;
    }
    types->prefetch_row(*found[i]);
    nodes->prefetch(*found[i]);
    recent.remember(serial_, wanted[i], *found[i]);
    ids[position[i]] = found[i];
  }
}

TypeId Graph::variable_id(const std::string& name) {
  // A type's rows are never removed, so a variable's id once known by its
  // name stays right.
  RecentNames& recent = thread_table<RecentNames, VariableNames>();
  if (auto known = recent.find(serial_, name)) return *known;
  // A name that this thread's look-up has just missed is most often new: it
  // is added at once (an addition finds a name stored meanwhile all the same).
  auto id = recent.absent(serial_, name) ? std::nullopt : types->find_variable(name);
  if (!id) id = types->add_variable(variable_uid(name), name);
  // Its uid is read next when it is an arrow's side, and its node row when
  // it is a node's type: both are asked for now, while the path's other
  // names are looked up.
  types->prefetch_row(*id);
  nodes->prefetch(*id);
  recent.remember(serial_, name, *id);
  return *id;
}

Uid Graph::insert_type(const typing::Type& type) { return types->uid(store_type(type)); }

std::pair<TypeId, bool> Graph::store_term(const Term& root, StoredTypes* stored) {
  // First every type and the word of every sub-term, in post-order (function,
  // argument, then the application); then the words, in that order, so that a
  // reader never meets a row naming a sub-term not yet stored. A sub-term of
  // the same type as one of the terms around it would be stored under that
  // term's own row: such a term is not stored at all.
  struct Frame {
    const Term* term;
    TypeId id;
    int state;  // 0: new, 1: function done, 2: argument done
    TypeId function = 0;
    TypeId argument = 0;
  };
  // Most terms are shallow: the ids on the path are scanned in place until
  // the path grows long, and only then counted in a map.
  constexpr std::size_t kScanned = 16;
  absl::InlinedVector<Frame, 8> stack;
  absl::InlinedVector<std::pair<TypeId, TermWord>, 8> words;
  absl::flat_hash_map<TypeId, int> on_path;  // once the path got long
  bool counting = false;
  bool cyclic = false;
  TypeId root_id = 0;
  const auto enter = [&](const Term* term) {
    const TypeId id = store_type(*term->type(), stored, &term->type());
    if (!counting && stack.size() >= kScanned) {
      for (const Frame& frame : stack) ++on_path[frame.id];
      counting = true;
    }
    if (counting) {
      if (on_path[id]++ > 0) cyclic = true;
    } else {
      for (const Frame& frame : stack) cyclic = cyclic || frame.id == id;
    }
    stack.push_back({term, id, 0});
  };
  enter(&root);
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (const auto* b = frame.term->as_basic()) {
      words.emplace_back(frame.id, TermWord::basic(name_id(*types, serial_, b->name)));
    } else if (frame.state == 0) {
      frame.state = 1;
      enter(frame.term->as_application()->function.get());
      continue;
    } else if (frame.state == 1) {
      frame.state = 2;
      enter(frame.term->as_application()->argument.get());
      continue;
    } else {
      words.emplace_back(frame.id, TermWord::application(frame.function, frame.argument));
    }
    const TypeId done = frame.id;
    if (counting) --on_path[done];
    stack.pop_back();
    if (stack.empty()) {
      root_id = done;
    } else if (stack.back().state == 1) {
      stack.back().function = done;
    } else {
      stack.back().argument = done;
    }
  }
  if (cyclic) return {root_id, false};
  for (const auto& [id, word] : words) types->set_term(id, word);
  return {root_id, true};
}

Uid Graph::insert_term(const Term& term) { return types->uid(store_term(term).first); }

Result<TypePtr> Graph::rebuild_type(TypeId root) const {
  // Post-order over the rows; a row met twice is built once. Only the
  // outermost row reports its own failure: a side that cannot be rebuilt
  // makes the whole arrow a broken row.
  absl::flat_hash_map<TypeId, TypePtr> built;
  std::vector<std::pair<TypeId, bool>> stack{{root, false}};
  while (!stack.empty()) {
    auto [id, sides_done] = stack.back();
    stack.pop_back();
    if (built.contains(id)) continue;
    if (types->is_variable(id)) {
      auto var = typing::Variable::create(std::string(types->variable_name(id)));
      if (!var) {
        if (id == root) return std::unexpected(std::move(var).error().attach("graph - type from uid"));
        return fail(corruption("type repr points to a uid that does not belong to the index!", "type from uid"));
      }
      built.emplace(id, typing::make_type(std::move(*var)));
      continue;
    }
    const TypeId left = types->left(id), right = types->right(id);
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

Result<TypePtr> Graph::type_from_uid(const Uid& uid) const {
  const auto id = types->find(uid);
  if (!id) return fail(errors::TypeNotFound{uid, "type from uid"});
  return rebuild_type(*id);
}

namespace {

// A term row that names itself, directly or through others: never stored by
// insertion, but rebuilding and rendering must end even if such rows met.
errors::IndexCorruption self_containing_row(const char* context) {
  return corruption("term repr contains itself", context);
}

errors::InvalidTerm self_containing_term() {
  return errors::InvalidTerm{"term contains a sub-term of the same type as a term enclosing it"};
}

}  // namespace

Result<Term> Graph::term_from_uid(const Uid& uid) const {
  const auto root = types->find(uid);
  if (!root || types->term(*root).none()) return fail(errors::TermNotFound{uid, "term from uid"});
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
    const TermWord word = types->term(id);
    if (word.none()) return fail(errors::TermNotFound{types->uid(id), "term from uid"});
    TypePtr type = VM_TRY(rebuild_type(id));
    if (word.is_basic()) {
      auto basic = VM_TRY(typing::BasicTerm::create(std::string(types->name(word.name())), std::move(type)));
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
    const TermWord word = types->term(id);
    if (word.none()) return fail(errors::TermNotFound{types->uid(id), "term from uid"});
    TypePtr type = VM_TRY(rebuild_type(id));
    if (word.is_basic()) {
      VM_TRY(typing::BasicTerm::create(std::string(types->name(word.name())), std::move(type)));
      continue;
    }
    stack.push_back(word.argument());
    stack.push_back(word.function());
  }
  return {};
}

Result<std::optional<std::string>> Graph::type_as_var(const Uid& uid) const {
  const auto id = types->find(uid);
  if (!id) return fail(errors::TypeNotFound{uid, "type as var"});
  if (types->is_variable(*id)) return std::optional<std::string>(types->variable_name(*id));
  return std::optional<std::string>();
}

Result<std::optional<std::pair<Uid, Uid>>> Graph::type_as_arrow(const Uid& uid) const {
  const auto id = types->find(uid);
  if (!id) return fail(errors::TypeNotFound{uid, "type as arrow"});
  if (types->is_variable(*id)) return std::optional<std::pair<Uid, Uid>>();
  return std::optional<std::pair<Uid, Uid>>(std::pair{types->uid(types->left(*id)), types->uid(types->right(*id))});
}

std::optional<TypeId> Graph::edge_id(const EdgeKey& key) const {
  const auto id = types->find(arrow_uid(key.first, key.second));
  if (!id || !edges->contains(*id)) return std::nullopt;
  return id;
}

Result<Uid> Graph::get_edge_type(const EdgeKey& key) const {
  const auto id = edge_id(key);
  if (!id) return fail(errors::EdgeNotFound{key, "graph - get edge type"});
  return types->uid(*id);
}

bool Graph::has_node(const Uid& uid) const {
  const auto id = types->find(uid);
  return id && nodes->contains(*id);
}

std::size_t Graph::term_count() const {
  std::atomic<std::size_t> n{0};
  types->for_each_parallel([&](TypeId id) {
    if (!types->term(id).none()) n.fetch_add(1, std::memory_order_relaxed);
  });
  return n.load();
}

bool Graph::has_term(const Uid& uid) const {
  const auto id = types->find(uid);
  return id && !types->term(*id).none();
}

std::optional<std::vector<TypeId>> Graph::node_edge_ids(const Uid& uid, bool leaving) const {
  const auto id = types->find(uid);
  if (!id) return std::nullopt;
  return node_edge_ids(*id, leaving);
}

std::optional<std::vector<TypeId>> Graph::node_edge_ids(TypeId id, bool leaving) const {
  return nodes->with_read(id, [&](const NodeRow& row) {
    const auto side = row.edges.side(leaving);
    return std::vector<TypeId>(side.begin(), side.end());
  });
}

std::vector<Uid> Graph::node_uids() const {
  std::vector<Uid> out;
  auto both = node_uids_and_ids();
  out.reserve(both.size());
  for (const auto& [uid, id] : both) out.push_back(uid);
  return out;
}

std::vector<std::pair<Uid, TypeId>> Graph::node_uids_and_ids() const {
  std::mutex mutex;
  std::vector<std::pair<Uid, TypeId>> out;
  // Its own context: a walk started inside a cancelled group must still
  // collect every node.
  tbb::task_group_context own(tbb::task_group_context::isolated);
  nodes->for_each_shard_parallel(
      [&](const NodeTable::Table& table) {
        std::vector<std::pair<Uid, TypeId>> part;
        part.reserve(table.size());
        for (const auto& entry : table) part.emplace_back(types->uid(entry.first), entry.first);
        std::lock_guard lock(mutex);
        out.insert(out.end(), part.begin(), part.end());
      },
      own);
  return out;
}

// ---- insertion -----------------------------------------------------------------

Status Graph::add_arrow_term_edge(const Term& term, const CreatedFlag& created) {
  const auto* arrow = term.type()->as_arrow();
  for (const TypePtr& side : {arrow->left, arrow->right}) {
    const TypeId id = store_type(*side);
    if (!nodes->contains(id)) {
      auto inferred = VM_TRY(infer_term(types->uid(id)));
      VM_TRY(add_node(side, std::move(inferred), PropertyMap::empty(), created));
    }
  }
  VM_TRY(add_edge(term, PropertyMap::empty(), created));
  return {};
}

void Graph::ensure_node(TypeId node, PropertyMap properties, const CreatedFlag& created) {
  // The row carries the node's edge lists, so a node appears with them; its
  // map is indexed under the same write lock. Whether it is there already is
  // read from the type's row: an existing node is most often an edge's end,
  // whose row is looked up next, together with the other end's, by add_edge.
  if (types->has_node(node)) return;
  bool inserted = false;
  nodes->upsert(
      node,
      [&] {
        return NodeRow{std::move(properties), {}};
      },
      [&](NodeRow& row, bool fresh) {
        if (!fresh) return;
        node_property_index->add(node, row.properties);
        types->set_node(node, true);
        inserted = true;
      });
  if (inserted) created->store(true);
}

Result<Uid> Graph::add_node(const TypePtr& type, std::optional<Term> term, PropertyMap properties,
                            const CreatedFlag& created, StoredTypes* known) {
  const TypeId id = store_type(*type, known, &type);
  bool newly_stored = false;
  if (term && types->term(id).none()) {
    const auto [stored_id, stored] = store_term(*term, known);
    if (!stored) return fail(self_containing_term());
    if (stored_id != id)
      return fail(errors::InvalidTerm{"term provided is of a different type than the type provided"});
    if (term->type()->is_arrow()) VM_TRY(add_arrow_term_edge(*term, created));
    newly_stored = true;
  }
  ensure_node(id, std::move(properties), created);
  if (newly_stored) VM_TRY(propagate(id, created));
  return types->uid(id);
}

Status Graph::propagate(TypeId start, const CreatedFlag& created) {
  // Level by level rather than node by node, so that a long chain costs no
  // stack: each level's edges run in parallel, and every end that gets a term
  // joins the next level. A failure carries one "graph - add node" line per
  // level it came through, as when each level was a nested call.
  std::vector<TypeId> level{start};
  // The rows whose terms this walk checked or stored from checked parts: a
  // chain's terms are checked once each, not once per link behind them. Read
  // by a level's tasks, written between levels.
  absl::flat_hash_set<TypeId> valid;
  for (std::size_t depth = 0; !level.empty(); ++depth) {
    std::vector<std::pair<TypeId, TypeId>> steps;  // (start, arrow)
    for (const TypeId node : level) {
      const bool present = nodes
                               ->with_read(node,
                                           [&](const NodeRow& row) {
                                             for (const TypeId arrow : row.edges.out()) steps.emplace_back(node, arrow);
                                             return true;
                                           })
                               .has_value();
      if (!present)
        return std::unexpected(
            attach_times(Report(corruption("node exists without row in the StartToEdgeIndex", "graph - add node")),
                         "graph - add node", depth));
    }
    std::mutex mutex;
    std::vector<TypeId> next;
    Status status = try_for_each(
        std::span<const std::pair<TypeId, TypeId>>(steps), [&](const std::pair<TypeId, TypeId>& step) -> Status {
          const auto [from, arrow] = step;
          const TypeId end = types->right(arrow);
          if (!types->term(end).none()) return {};
          bool reaches = false;
          VM_TRY_CTX(check_term(from, end, reaches, &valid), "graph - add node");
          if (!edges->contains(arrow))
            return fail(
                corruption("edge exists in EdgeIndex without appearing in EdgeToTypeIndex", "graph - add node"));
          VM_TRY_CTX(check_term(arrow, end, reaches, &valid), "graph - add node");
          // The end's term would contain itself, or another propagation was first.
          if (reaches || !types->set_term_if_none(end, TermWord::application(arrow, from))) return {};
          if (!types->is_variable(end)) {
            Term applied = VM_TRY_CTX(term_from_uid(types->uid(end)), "graph - add node");
            VM_TRY_CTX(add_arrow_term_edge(applied, created), "graph - add node");
          }
          ensure_node(end, PropertyMap::empty(), created);
          std::lock_guard lock(mutex);
          next.push_back(end);
          return {};
        });
    if (!status) return std::unexpected(attach_times(std::move(status).error(), "graph - add node", depth));
    valid.insert(level.begin(), level.end());
    valid.insert(next.begin(), next.end());
    level = std::move(next);
  }
  return {};
}

Result<EdgeKey> Graph::add_edge(const Term& term, PropertyMap properties, const CreatedFlag& created,
                                StoredTypes* known) {
  const auto [arrow, stored] = store_term(term, known);
  if (!stored) return fail(self_containing_term());
  if (types->is_variable(arrow))
    return fail(errors::InvalidTerm{"to create an edge you must provide a term of an arrow type"});
  return link_edge(arrow, std::move(properties), created);
}

Result<EdgeKey> Graph::add_constant_edge(TypeId arrow, std::size_t constant, PropertyMap properties,
                                         const CreatedFlag& created) {
  // As store_term stores a basic term: its word, over any the row had.
  types->set_term(arrow, TermWord::basic(name_id(*types, serial_, constants->list()[constant].name())));
  return link_edge(arrow, std::move(properties), created);
}

Result<EdgeKey> Graph::link_edge(TypeId arrow, PropertyMap properties, const CreatedFlag& created) {
  const TypeId s = types->left(arrow), e = types->right(arrow);

  // Both ends are checked and the edge written under their shards' locks, so
  // an edge never outlives an end removed at the same time, and a failure
  // leaves nothing behind.
  const std::size_t start_shard = NodeTable::shard_of(s), end_shard = NodeTable::shard_of(e);
  const std::array<std::size_t, 2> shards{std::min(start_shard, end_shard), std::max(start_shard, end_shard)};
  const std::size_t shard_count = start_shard == end_shard ? 1 : 2;
  NodeTables tables{};
  const char* missing = nullptr;
  with_node_shards(*nodes, std::span(shards.data(), shard_count), tables, [&](NodeTables& locked) {
    NodeRow* start = find_row(locked, s);
    if (!start) {
      missing = "start_to_edge_index not initialized for some node already in the graph";
      return;
    }
    NodeRow* end = find_row(locked, e);
    if (!end) {
      missing = "end_to_edge_index not initialized for some node already in the graph";
      return;
    }
    // Both lists are written below, after the edge's own lock: their blocks
    // are asked for together now.
    start->edges.prefetch();
    end->edges.prefetch();
    // The edge takes the map over; an existing edge's map is replaced.
    const bool replaced = edges
                              ->insert(arrow, std::move(properties),
                                       [&](const PropertyMap* old, const PropertyMap& map) {
                                         if (old) {
                                           edge_property_index->overwrite(arrow, *old, map);
                                         } else {
                                           edge_property_index->add(arrow, map);
                                         }
                                       })
                              .has_value();
    if (replaced) return;
    start->edges.add_out(arrow);
    end->edges.add_in(arrow);
    created->store(true);
  });
  if (missing) return fail(corruption(missing, "add edge"));

  // One step only: the end node's term is stored directly, without
  // propagating along its own outgoing edges.
  if (!types->term(s).none() && types->term(e).none()) {
    bool reaches = false;
    VM_TRY(check_term(s, e, reaches));
    if (!reaches && types->set_term_if_none(e, TermWord::application(arrow, s)) && !edges->contains(e)) {
      if (types->is_variable(e)) {
        VM_TRY(check_term(e, kNoRow, reaches));
      } else {
        auto rebuilt = VM_TRY(term_from_uid(types->uid(e)));
        VM_TRY(add_arrow_term_edge(rebuilt, created));
      }
    }
  }
  return EdgeKey{types->uid(s), types->uid(e)};
}

// ---- removal ---------------------------------------------------------------------

Result<std::optional<EdgeKey>> Graph::remove_edge(const EdgeKey& key) {
  const auto arrow = types->find(arrow_uid(key.first, key.second));
  if (!arrow) return std::optional<EdgeKey>();
  const TypeId s = types->left(*arrow), e = types->right(*arrow);
  std::vector<std::size_t> shards{NodeTable::shard_of(s), NodeTable::shard_of(e)};
  sort_unique(shards);
  NodeTables tables{};
  bool removed = false;
  with_node_shards(*nodes, shards, tables, [&](NodeTables& locked) {
    if (!edges->remove(*arrow, [&](const PropertyMap& stored) { edge_property_index->remove(*arrow, stored); })) return;
    removed = true;
    if (NodeRow* start = find_row(locked, s)) start->edges.remove_out(*arrow);
    if (NodeRow* end = find_row(locked, e)) end->edges.remove_in(*arrow);
  });
  if (!removed) return std::optional<EdgeKey>();
  return std::optional<EdgeKey>(key);
}

Result<std::optional<Uid>> Graph::remove_node(const Uid& uid) {
  const auto id = types->find(uid);
  if (!id) return std::optional<Uid>();
  // The node, its edges and their places in the neighbours' lists go in one
  // step, under the locks of the node's shard and of every neighbour's shard:
  // removals of neighbouring nodes, or of their shared edges, may run at once.
  // The shards are read first; an edge added meanwhile to a shard not locked
  // makes the step start again.
  const auto other_end = [&](TypeId arrow, bool leaving) { return leaving ? types->right(arrow) : types->left(arrow); };
  for (;;) {
    std::vector<std::size_t> shards{NodeTable::shard_of(*id)};
    const bool present = nodes
                             ->with_read(*id,
                                         [&](const NodeRow& row) {
                                           for (const bool leaving : {true, false})
                                             for (const TypeId arrow : row.edges.side(leaving))
                                               shards.push_back(NodeTable::shard_of(other_end(arrow, leaving)));
                                           return true;
                                         })
                             .has_value();
    if (!present) return std::optional<Uid>();
    sort_unique(shards);

    enum class Outcome { Removed, Absent, Retry } outcome = Outcome::Absent;
    NodeTables tables{};
    with_node_shards(*nodes, shards, tables, [&](NodeTables& locked) {
      auto& table = *locked[NodeTable::shard_of(*id)];
      auto it = table.find(*id);
      if (it == table.end()) return;
      for (const bool leaving : {true, false})
        for (const TypeId arrow : it->second.edges.side(leaving))
          if (!std::binary_search(shards.begin(), shards.end(), NodeTable::shard_of(other_end(arrow, leaving)))) {
            outcome = Outcome::Retry;
            return;
          }
      NodeRow row = std::move(it->second);
      types->set_node(*id, false);
      table.erase(it);
      node_property_index->remove(*id, row.properties);
      const auto unindex = [&](TypeId arrow) {
        return [&, arrow](const PropertyMap& stored) { edge_property_index->remove(arrow, stored); };
      };
      for (const TypeId arrow : row.edges.out()) {
        edges->remove(arrow, unindex(arrow));
        const TypeId end = types->right(arrow);
        if (end == *id) continue;
        if (NodeRow* other = find_row(locked, end)) other->edges.remove_in(arrow);
      }
      for (const TypeId arrow : row.edges.in()) {
        const TypeId start = types->left(arrow);
        if (start == *id) continue;  // a loop, gone with the leaving edges
        edges->remove(arrow, unindex(arrow));
        if (NodeRow* other = find_row(locked, start)) other->edges.remove_out(arrow);
      }
      outcome = Outcome::Removed;
    });
    if (outcome == Outcome::Retry) continue;
    if (outcome == Outcome::Absent) return std::optional<Uid>();
    return std::optional<Uid>(uid);
  }
}

// ---- properties -----------------------------------------------------------------

Result<PropertyMap> Graph::node_properties(const Uid& uid) const {
  auto map = with_node_properties(uid, [](const PropertyMap& stored) { return stored; });
  if (!map) return fail(errors::NodeNotFound{uid, "node properties"});
  return std::move(*map);
}

Result<PropertyMap> Graph::edge_properties(const EdgeKey& key) const {
  const auto id = edge_id(key);
  auto map = id ? edges->share(*id) : std::nullopt;
  if (!map) return fail(errors::EdgeNotFound{key, "edge properties"});
  return std::move(*map);
}

namespace {

// Overwrite replaces the row's map; a merge inserts a snapshot of the given
// entries into the stored map while the row stays write-locked. Copies of
// opaque values only share the object's handle, so this is safe on pool
// threads. The property index follows each change under the same lock.
template <class Row, class PropertyIndex>
void set_properties(PropertyMap& stored, PropertyIndex& property_index, const Row& row, const PropertyMap& map,
                    bool overwrite) {
  if (overwrite) {
    property_index.overwrite(row, stored, map);
    stored = map;
    return;
  }
  auto entries = map.iter();
  property_index.merge(row, stored, entries);
  for (auto& [k, v] : entries) stored.insert(std::move(k), std::move(v));
}

}  // namespace

Status Graph::set_node_properties(const Uid& uid, const PropertyMap& map, bool overwrite) {
  // Overwrite stores a map of the row's own: one set operation gives its map
  // to every match, and a later merge into one of them must not show in the
  // others, nor in the caller's map.
  const PropertyMap given = overwrite ? map.copy() : map;
  const auto id = types->find(uid);
  if (!id || !nodes->with_write(*id, [&](NodeRow& row) {
        set_properties(row.properties, *node_property_index, *id, given, overwrite);
      }))
    return fail(errors::NodeNotFound{uid, "graph - set node properties"});
  return {};
}

Status Graph::set_edge_properties(const EdgeKey& key, const PropertyMap& map, bool overwrite) {
  // A copy of its own, as for nodes.
  const PropertyMap given = overwrite ? map.copy() : map;
  const auto id = edge_id(key);
  if (!id || !edges->with_write(*id, [&](PropertyMap& stored) {
        set_properties(stored, *edge_property_index, *id, given, overwrite);
      }))
    return fail(errors::EdgeNotFound{key, "graph - set node properties"});
  return {};
}

// ---- text forms -------------------------------------------------------------------

namespace {

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

Result<std::string> Graph::type_to_string(const Uid& uid) const {
  const auto id = types->find(uid);
  if (!id) return fail(errors::TypeNotFound{uid, "type to string"});
  return render_type(*types, *id);
}

Result<std::string> Graph::term_to_string(const Uid& uid) const {
  const auto root = types->find(uid);
  if (!root || types->term(*root).none()) return fail(errors::TermNotFound{uid, "term to string"});
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
  const std::size_t limit = std::size_t{types->allocated()} + 1;
  std::vector<Item> stack{{*root, 0, nullptr}};
  while (!stack.empty()) {
    const Item item = stack.back();
    stack.pop_back();
    if (item.text) {
      out += item.text;
      continue;
    }
    const TermWord word = types->term(item.id);
    if (word.none())
      return std::unexpected(attach_times(Report(errors::TermNotFound{types->uid(item.id), "term to string"}),
                                          "graph - term to string", item.depth));
    if (item.depth > limit) return fail(self_containing_row("term to string"));
    if (word.is_basic()) {
      out += types->name(word.name());
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
  const auto id = types->find(uid);
  std::optional<std::string> text;
  if (id)
    text = nodes->with_read(*id, [&](const NodeRow& row) {
      auto term = term_to_string(uid);  // a node without a term shows an empty term text
      return "Node(" + render_type(*types, *id) + ":" + (term ? *term : std::string()) + " " +
             row.properties.to_string() + ")";
    });
  if (!text) return fail(errors::NodeNotFound{uid, "node to string"});
  return std::move(*text);
}

Result<std::string> Graph::edge_to_string(const EdgeKey& key) const {
  const auto id = edge_id(key);
  std::optional<Result<std::string>> text;
  if (id)
    text = edges->with_read(*id, [&](const PropertyMap& map) -> Result<std::string> {
      auto term = VM_TRY_CTX(term_to_string(types->uid(*id)), "graph - edge to string");
      return "Edge(" + render_type(*types, *id) + ":" + term + " " + map.to_string() + ")";
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
  // Most schemas are one name. A schema's names passed the name checks when
  // it was parsed, so an unbound one is its type variable as it stands.
  if (const auto* variable = schema.pattern().get<TypePattern::Variable>();
      variable && !m->contains_key(variable->name))
    return typing::make_type(typing::Variable{variable->name});
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
  if (p.is<TypePattern::Wildcard>()) return fail(errors::InvalidPattern{"", "Cannot convert wildcard to type"});

  if (const auto* arrow = p.get<TypePattern::Arrow>()) {
    TypePtr left = VM_TRY_CTX(pattern_to_type_recursive(*arrow->left, m), "graph - pattern to type recursive");
    TypePtr right = VM_TRY_CTX(pattern_to_type_recursive(*arrow->right, m), "graph - pattern to type recursive");
    return typing::make_arrow(std::move(left), std::move(right));
  }

  // A variable and a capture both stand for their binding, or else for the
  // type variable of their name; a capture's inner pattern plays no part.
  const std::string& name =
      p.is<TypePattern::Variable>() ? p.get<TypePattern::Variable>()->name : p.get<TypePattern::Capture>()->name;
  if (auto bound = m->get(name)) return bound_type(name, *bound);
  auto variable = VM_TRY_CTX(typing::Variable::create(name), "graph - pattern to type recursive");
  return typing::make_type(std::move(variable));
}

Result<Term> Graph::pattern_to_term_recursive(const TermPattern& p, const MatchPtr& m) {
  if (p.is<TermPattern::Wildcard>()) return fail(errors::InvalidPattern{"", "Cannot convert wildcard to term"});

  if (const auto* variable = p.get<TermPattern::Variable>()) {
    auto bound = m->get(variable->name);
    // A term variable is never invented: only a binding gives it a value.
    if (!bound) return fail(errors::VariableNotFound{variable->name, "pattern to term recursive"});
    const Uid uid =
        VM_TRY_CTX(bound->as_term(variable->name, "pattern to term recursive"), "graph - pattern to term recursive");
    return term_from_uid(uid);
  }

  if (const auto* application = p.get<TermPattern::Application>()) {
    Term function =
        VM_TRY_CTX(pattern_to_term_recursive(*application->function, m), "graph - pattern to term recursive");
    Term argument =
        VM_TRY_CTX(pattern_to_term_recursive(*application->argument, m), "graph - pattern to term recursive");
    auto applied = VM_TRY(typing::Application::create(std::move(function), std::move(argument)));
    return Term(std::move(applied));
  }

  const auto& use = *p.get<TermPattern::Constant>();
  // The table never changes, so the constant is read in place.
  const Constant* constant = constants->find(use.name);
  if (!constant) return fail(errors::ConstantNotFound{use.name, positioned("pattern to term recursive")});
  TypePtr type = VM_TRY_CTX(get_constant_type(*constant, use.type_arguments, m), "pattern to term recursive");
  // Built without BasicTerm::create: a use names the constant as declared,
  // whether or not that name is a valid identifier.
  return Term(typing::BasicTerm{constant->name(), std::move(type)});
}

Result<TypePtr> Graph::get_constant_type(const Constant& c, const std::vector<TypeSchema>& args, const MatchPtr& m) {
  const auto& parameters = c.free_variables();
  if (args.size() != parameters.size())
    return fail(errors::InvalidNumberOfArguments{parameters.size(), args.size(), positioned("get constant type")});

  std::vector<Uid> uids(args.size());
  // Callers may hold a shard lock or a creation unit while they wait here, so
  // this thread must only run the conversions of this call meanwhile.
  Status converted = tbb::this_task_arena::isolate([&]() -> Status {
    return try_for_each_index(args.size(), [&](std::size_t i) -> Status {
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

Result<std::optional<std::string>> Graph::fitting_constant(const Uid& uid) const {
  std::optional<std::string> chosen;
  std::optional<Report> failure;
  // The table's order decides among several fitting constants: which one
  // wins is deliberately left undefined.
  for (const Constant& constant : constants->list()) {
    auto checked = check_type_matches(uid, constant.type_schema().pattern(), Match::create());
    if (!checked) {
      failure.emplace(std::move(checked).error().attach("graph - infer term"));
      break;
    }
    if (*checked) {
      chosen = constant.name();
      break;
    }
  }
  if (failure) return std::unexpected(std::move(*failure));
  return chosen;
}

Result<std::optional<Term>> Graph::infer_term(const Uid& uid) const {
  std::optional<std::string> chosen = VM_TRY(fitting_constant(uid));
  if (!chosen) return std::nullopt;
  TypePtr type = VM_TRY_CTX(type_from_uid(uid), "graph - infer term");
  auto term = VM_TRY_CTX(typing::BasicTerm::create(std::move(*chosen), std::move(type)), "graph - infer term");
  return std::optional<Term>(Term(std::move(term)));
}

namespace {

// Whether the stored type `id` fits `pattern` when checked against an empty
// frame, for a pattern without captures: such a check reads no binding,
// binds nothing and cannot fail, so it needs no frame. None when the walk
// meets a capture.
std::optional<bool> fits_without_frame(const TypeTable& types, TypeId id, const patterns::TypePattern& pattern) {
  using patterns::TypePattern;
  if (pattern.is<TypePattern::Wildcard>()) return true;
  if (const auto* variable = pattern.get<TypePattern::Variable>())
    return types.is_variable(id) && types.variable_name(id) == variable->name;
  const auto* arrow = pattern.get<TypePattern::Arrow>();
  if (!arrow) return std::nullopt;
  if (types.is_variable(id)) return false;
  const auto left = fits_without_frame(types, types.left(id), *arrow->left);
  if (!left || !*left) return left;
  return fits_without_frame(types, types.right(id), *arrow->right);
}

}  // namespace

Result<std::optional<std::size_t>> Graph::fitting_constant(TypeId id, bool variable) const {
  // The same walk as above, by row. Which constant fits a stored type never
  // changes (the table is fixed, rows are never removed or rewritten), and
  // creations ask again and again about the types they just stored, so each
  // thread remembers its last answers. Failures are not remembered.
  struct Recent {
    std::uint64_t serial = 0;
    TypeId id = 0;
    std::uint32_t fitting = 0;  // 1 + index in the list; 0: none fits
  };
  auto& recent = thread_table<std::array<Recent, 64>>();
  Recent& slot = recent[(id * 0x9E3779B1u) >> 26];
  if (slot.serial == serial_ && slot.id == id) {
    if (slot.fitting == 0) return std::nullopt;
    return std::optional<std::size_t>(slot.fitting - 1);
  }
  std::optional<std::size_t> chosen;
  const auto& list = constants->list();
  MatchPtr scratch;
  for (std::size_t i = 0; i < list.size(); ++i) {
    const auto& pattern = list[i].type_schema().pattern();
    // An arrow schema never fits a type variable, and that check neither
    // fails nor binds: most nodes' types are variables, and most constants
    // are functions.
    if (variable && pattern.is<patterns::TypePattern::Arrow>()) continue;
    if (const auto fits = fits_without_frame(*types, id, pattern)) {
      if (!*fits) continue;
      chosen = i;
      break;
    }
    // A check binds into frames of its own above the one given: the frame
    // it gets stays empty and can serve the next constant.
    if (!scratch) scratch = Match::create();
    auto checked = check_type_matches(id, pattern, scratch);
    if (!checked) return std::unexpected(std::move(checked).error().attach("graph - infer term"));
    if (*checked) {
      chosen = i;
      break;
    }
  }
  slot = {serial_, id, chosen ? static_cast<std::uint32_t>(*chosen + 1) : 0u};
  return chosen;
}

Result<std::optional<Term>> Graph::infer_term(TypeId id, const TypePtr& type) const {
  const std::optional<std::size_t> chosen = VM_TRY(fitting_constant(id, *type));
  if (!chosen) return std::nullopt;
  const Constant& constant = constants->list()[*chosen];
  if (constants->has_valid_name(*chosen)) return std::optional<Term>(Term(typing::BasicTerm{constant.name(), type}));
  auto term = VM_TRY_CTX(typing::BasicTerm::create(constant.name(), type), "graph - infer term");
  return std::optional<Term>(Term(std::move(term)));
}

}  // namespace velmora::graph
