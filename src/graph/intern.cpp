// The digest's own functions, which the library marks as superseded by its
// generic interface: a uid hashes a few dozen bytes, and that interface's set-up
// on every call costs more than the hashing.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "graph/intern.hpp"

#include <absl/container/flat_hash_map.h>
#include <absl/container/inlined_vector.h>
#include <openssl/sha.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>

#include "utils/panic.hpp"

namespace velmora::graph {
namespace {

auto bytes(std::string_view text) { return std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()); }

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

// The uses of RecentNames: term names and variable names.
struct TermNames;
struct VariableNames;

// The arrows a thread stored or asked for last. A creation stores the same
// arrow several times (inference, then the edge), and the digest of an arrow
// may be taken ahead of its storing (see Interner::prefetch_arrow). An entry
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

std::uint64_t next_serial() {
  static std::atomic<std::uint64_t> counter{0};
  return counter.fetch_add(1, std::memory_order_relaxed) + 1;
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

Interner::Interner(std::shared_ptr<TypeTable> types, const NodeTable& nodes)
    : types_(std::move(types)), nodes_(nodes), serial_(next_serial()) {}

TypeId Interner::store_type(const typing::Type& root, StoredTypes* stored, const TypePtr* handle) {
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

TypeId Interner::arrow_id(TypeId left, TypeId right) {
  RecentArrow& slot = recent_arrow(left, right);
  const bool known = slot.serial == serial_ && slot.left == left && slot.right == right;
  if (known && slot.id) return *slot.id;
  // An arrow whose digest was taken ahead is most often about to be stored
  // for the first time: it is added at once (see TypeTable::add_arrow).
  const Uid uid = known ? slot.uid : arrow_uid(types_->uid(left), types_->uid(right));
  const TypeId id = types_->add_arrow(uid, left, right, known);
  slot = {serial_, left, right, id, uid};
  return id;
}

void Interner::prefetch_arrow(TypeId tail, TypeId head) {
  RecentArrow& slot = recent_arrow(tail, head);
  if (slot.serial == serial_ && slot.left == tail && slot.right == head) return;
  slot = {serial_, tail, head, std::nullopt, arrow_uid(types_->uid(tail), types_->uid(head))};
  types_->prefetch(slot.uid);
}

void Interner::look_up_variables(std::span<const std::string_view> names, std::optional<TypeId>* ids) {
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
  types_->find_variables(std::span(wanted.data(), count), found.data());
  for (std::size_t i = 0; i < count; ++i) {
    if (!found[i]) {
      // Most often about to be stored by this creation (see variable_id).
      recent.remember_absent(serial_, wanted[i]);
      continue;
    }
    types_->prefetch_row(*found[i]);
    nodes_.prefetch(*found[i]);
    recent.remember(serial_, wanted[i], *found[i]);
    ids[position[i]] = found[i];
  }
}

TypeId Interner::variable_id(std::string_view name) {
  // A type's rows are never removed, so a variable's id once known by its
  // name stays right.
  RecentNames& recent = thread_table<RecentNames, VariableNames>();
  if (auto known = recent.find(serial_, name)) return *known;
  // A name that this thread's look-up has just missed is most often new: it
  // is added at once (an addition finds a name stored meanwhile all the same).
  auto id = recent.absent(serial_, name) ? std::nullopt : types_->find_variable(name);
  if (!id) id = types_->add_variable(variable_uid(name), name);
  // Its uid is read next when it is an arrow's side, and its node row when
  // it is a node's type: both are asked for now, while the path's other
  // names are looked up.
  types_->prefetch_row(*id);
  nodes_.prefetch(*id);
  recent.remember(serial_, name, *id);
  return *id;
}

std::uint32_t Interner::name_id(std::string_view text) {
  // Terms are named after a handful of constants: the same few names come
  // again and again.
  RecentNames& recent = thread_table<RecentNames, TermNames>();
  if (auto known = recent.find(serial_, text)) return *known;
  const std::uint32_t id = types_->add_name(text);
  recent.remember(serial_, text, id);
  return id;
}

std::pair<TypeId, bool> Interner::store_term(const Term& root, StoredTypes* stored) {
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
      words.emplace_back(frame.id, TermWord::basic(name_id(b->name)));
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
  for (const auto& [id, word] : words) types_->set_term(id, word);
  return {root_id, true};
}

}  // namespace velmora::graph
