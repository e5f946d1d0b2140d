// Interning: the uids of types, and storing types and terms as rows of the
// type table, each distinct type once under one id.
//
// A type's uid is the SHA-256 digest of its stored form (`TypeRep`): a
// variable's of "var:" and its name, an arrow's of "arr:", the left uid, ":"
// and the right uid. The digest is the costly part of storing a type, so an
// `Interner` keeps, per thread, the ids of the names and arrows that thread
// met last (`RecentNames`, `RecentArrow` in intern.cpp). Those memos never go
// stale: rows are never removed, and each store has a serial that no other
// store of the process shares, so a memo entry of another store (or of a
// freed one whose address came back) is never taken for this one's.
//
// Threads: any thread; storing takes the type table's index locks (see
// TypeTable). A memo belongs to its thread. `StoredTypes` belongs to one task.
#pragma once

#include <absl/container/inlined_vector.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "graph/node_table.hpp"
#include "graph/type_table.hpp"
#include "typing/term.hpp"
#include "typing/types.hpp"
#include "utils/uid.hpp"

namespace velmora::graph {

using typing::Term;
using typing::TypePtr;

// SHA-256 of the concatenated parts. Any thread.
Uid sha256(std::initializer_list<std::span<const std::uint8_t>> parts);
// The uid of the variable `name`, and of the arrow left -> right.
Uid variable_uid(std::string_view name);
Uid arrow_uid(const Uid& left, const Uid& right);

// A type's stored form by uids: its uid is the digest of that form.
struct TypeRep {
  enum class Tag : std::uint8_t { Variable = 0, Arrow = 1 };
  Tag tag;
  std::string name;  // Variable
  Uid left{};        // Arrow
  Uid right{};       // Arrow

  static TypeRep variable(std::string name) { return {Tag::Variable, std::move(name), {}, {}}; }
  static TypeRep arrow(const Uid& left, const Uid& right) { return {Tag::Arrow, {}, left, right}; }
  Uid uid() const { return tag == Tag::Variable ? variable_uid(name) : arrow_uid(left, right); }
};

// The ids of the types one creation has stored, by type object. A creation
// hands the same shared type objects from inference to the insertions, and
// finding one here costs less than storing it again. Holds each type, so an
// address stays that type's while it is remembered. Belongs to one task.
class StoredTypes {
 public:
  std::optional<TypeId> find(const typing::Type* type) const {
    for (const auto& [known, id] : known_)
      if (known.get() == type) return id;
    return std::nullopt;
  }
  void add(const TypePtr& type, TypeId id) { known_.emplace_back(type, id); }

 private:
  absl::InlinedVector<std::pair<TypePtr, TypeId>, 8> known_;
};

// This thread's table of type `Table` for the use `Tag`, made on first use;
// held through a pointer: the module's static thread-local space is small.
// Tables keyed by a store's serial may serve every store.
template <class Table, class Tag = Table>
Table& thread_table() {
  thread_local std::unique_ptr<Table> table;
  if (!table) table = std::make_unique<Table>();
  return *table;
}

class Interner {
 public:
  // `nodes`: the node table of the same store. A variable's id is most often
  // wanted for its node, whose row is asked for as soon as the id is known.
  Interner(std::shared_ptr<TypeTable> types, const NodeTable& nodes);

  std::uint64_t serial() const { return serial_; }

  // Stores a type and its sides; returns its id. `handle`, when given, is
  // the shared handle of `type`: with `stored`, the type and its sides are
  // looked up there first and added when new. Any depth, constant stack.
  TypeId store_type(const typing::Type& type, StoredTypes* stored = nullptr, const TypePtr* handle = nullptr);
  // Stores a term, its sub-terms and all their types, each replacing the term
  // stored for its type; returns the id of the term's type and whether the
  // term was stored. A term with a sub-term of the same type as a term
  // enclosing it would be stored as a term that contains itself (the store
  // keeps one term per type): of such a term only the types are stored, and
  // the answer is false.
  std::pair<TypeId, bool> store_term(const Term& term, StoredTypes* stored = nullptr);
  // The id of the variable type `name`, storing it when new; its row and its
  // node row are asked for.
  TypeId variable_id(std::string_view name);
  // The id of the arrow left -> right, storing it when new.
  TypeId arrow_id(TypeId left, TypeId right);
  // The id of the name `text` (of a basic term), storing it when new.
  std::uint32_t name_id(std::string_view text);

  // Looks the stored variables among `names` up together and starts loading
  // their rows, so that variable_id answers them next without a look-up of
  // its own. At most the first kKeysAtOnce; a name not stored is remembered
  // as missed, so that variable_id adds it without looking it up again.
  // ids[i] is the id of names[i] when it is stored.
  void look_up_variables(std::span<const std::string_view> names, std::optional<TypeId>* ids);
  // Starts the look-up of the arrow tail -> head (both stored) for a storing
  // of it to come: its digest is taken now, and kept for that storing, and its
  // index slots are asked for. Changes nothing.
  void prefetch_arrow(TypeId tail, TypeId head);

 private:
  std::shared_ptr<TypeTable> types_;
  const NodeTable& nodes_;
  const std::uint64_t serial_;
};

}  // namespace velmora::graph
