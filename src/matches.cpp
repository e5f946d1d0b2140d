#include "matches.hpp"

#include <absl/container/inlined_vector.h>

#include <mutex>

namespace velmora {

std::string_view MatchElement::kind_word() const {
  switch (kind_) {
    case Kind::Type: return "type";
    case Kind::Term: return "term";
    case Kind::Node: return "node";
    case Kind::Edge: return "edge";
  }
  return "type";
}

Result<Uid> MatchElement::as_uid(Kind wanted, std::string_view name, Context&& context) const {
  if (kind_ == wanted) return first_;
  const MatchElement asked{wanted, {}, {}};
  return fail(errors::ContextConflict{std::string(name), std::string(kind_word()),
                                      std::string(asked.kind_word()), std::move(context)});
}

Result<Uid> MatchElement::as_type(std::string_view name, Context context) const {
  return as_uid(Kind::Type, name, std::move(context));
}
Result<Uid> MatchElement::as_term(std::string_view name, Context context) const {
  return as_uid(Kind::Term, name, std::move(context));
}
Result<Uid> MatchElement::as_node(std::string_view name, Context context) const {
  return as_uid(Kind::Node, name, std::move(context));
}
Result<EdgeKey> MatchElement::as_edge(std::string_view name, Context context) const {
  auto start = as_uid(Kind::Edge, name, std::move(context));
  if (!start) return std::unexpected(std::move(start).error());
  return EdgeKey{first_, second_};
}

struct Match::Made : Match {
  explicit Made(MatchPtr parent) : Match(std::move(parent)) {}
};

MatchPtr Match::create(MatchPtr parent) { return std::make_shared<Made>(std::move(parent)); }

Match::~Match() {
  delete counter_.load(std::memory_order_acquire);
  // Long chains would otherwise be torn down recursively, one stack frame per
  // frame; unlink parents we hold the last reference to iteratively.
  MatchPtr next = std::move(parent_);
  while (next && next.use_count() == 1) next = std::move(next->parent_);
}

std::optional<MatchElement> Match::own(std::string_view name) const {
  if (bound_.load(std::memory_order_acquire) == 0) return std::nullopt;
  std::shared_lock lock(mutex_);
  for (const auto& [key, element] : elements_)
    if (key == name) return element;
  return std::nullopt;
}

std::optional<MatchElement> Match::get(std::string_view name) const {
  // Root first: of two bindings of one name, the one nearer the root wins.
  absl::InlinedVector<const Match*, 16> chain;
  for (const Match* m = this; m; m = m->parent_.get()) chain.push_back(m);
  for (auto it = chain.rbegin(); it != chain.rend(); ++it)
    if (auto found = (*it)->own(name)) return found;
  return std::nullopt;
}

bool Match::contains_key(std::string_view name) const {
  for (const Match* m = this; m; m = m->parent_.get())
    if (m->own(name)) return true;
  return false;
}

Status Match::insert(std::string_view name, const MatchElement& element) {
  if (contains_key(name))
    return fail(errors::VariableAlreadyExists{std::string(name), "match insert [src/matches:167]"});
  append(name, element);
  return {};
}

std::optional<MatchElement> Match::bind(std::string_view name, const MatchElement& element) {
  if (contains_key(name)) return get(name);
  append(name, element);
  return std::nullopt;
}

void Match::append(std::string_view name, const MatchElement& element) {
  std::unique_lock lock(mutex_);
  elements_.emplace_back(std::string(name), element);
  bound_.store(elements_.size(), std::memory_order_release);
}

std::optional<MatchElement> Match::remove(std::string_view name) {
  for (Match* m = this; m; m = m->parent_.get()) {
    std::unique_lock lock(m->mutex_);
    for (auto it = m->elements_.begin(); it != m->elements_.end(); ++it) {
      if (it->first == name) {
        MatchElement element = it->second;
        m->elements_.erase(it);
        m->bound_.store(m->elements_.size(), std::memory_order_release);
        return element;
      }
    }
  }
  return std::nullopt;
}

Result<std::optional<utils::SlotGuard>> Match::get_counter() const {
  for (const Match* m = this; m; m = m->parent_.get()) {
    if (auto* cell = m->counter_.load(std::memory_order_acquire)) return (*cell)->acquire();
  }
  return fail(errors::CreationCounterNotFound{"match - get counter"});
}

bool Match::set_counter(std::uint32_t limit) {
  if (counter_.load(std::memory_order_acquire)) return false;
  auto* fresh = new std::shared_ptr<utils::CreationCounter>(
      std::make_shared<utils::CreationCounter>(limit));
  std::shared_ptr<utils::CreationCounter>* expected = nullptr;
  if (counter_.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) return true;
  delete fresh;
  return false;
}

}  // namespace velmora
