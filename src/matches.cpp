#include "matches.hpp"

#include <tbb/global_control.h>
#include <tbb/task_arena.h>

#include <array>
#include <atomic>
#include <cassert>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <type_traits>
#include <utility>

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
  return fail(errors::ContextConflict{std::string(name), std::string(kind_word()), std::string(asked.kind_word()),
                                      std::move(context)});
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

EdgeKey StoredElement::edge_key() const {
  if (kind_ != MatchElement::Kind::Edge) return {*first_, Uid{}};
  return {*first_, *reinterpret_cast<const Match::Binding*>(this)->end_uid()};
}

const Uid* StoredElement::row_end() const {
  if (!in_rows_ || kind_ != MatchElement::Kind::Edge) return nullptr;
  return reinterpret_cast<const Match::Binding*>(this)->end_uid();
}

MatchElement StoredElement::element() const {
  if (in_rows_) {
    switch (kind_) {
      case MatchElement::Kind::Type: return MatchElement::stored_type(*first_);
      case MatchElement::Kind::Term: return MatchElement::stored_term(*first_);
      case MatchElement::Kind::Node: return MatchElement::stored_node(*first_);
      case MatchElement::Kind::Edge: break;
    }
    return MatchElement::stored_edge(*first_, *row_end());
  }
  switch (kind_) {
    case MatchElement::Kind::Type: return MatchElement::type(*first_);
    case MatchElement::Kind::Term: return MatchElement::term(*first_);
    case MatchElement::Kind::Node: return MatchElement::node(*first_);
    case MatchElement::Kind::Edge: break;
  }
  return MatchElement::edge(edge_key());
}

namespace {

// Frames are small, made by the hundred thousand and dropped together, often
// on another thread than the one that made them; from the heap, each would
// take its arena's lock twice, and a free from another thread contends with
// the maker's allocations. Instead each thread carves its frames from a block
// of its own (no lock, no shared word per frame), and a block goes back to
// the heap when the last frame carved from it is freed, by whichever thread
// frees it. A block lives as long as any of its frames: a few long-lived
// frames among many dropped ones keep their blocks, for as long as they live.
class FrameBlocks {
 public:
  // Blocks are plain heap blocks (an aligned one would leave the heap a gap
  // before it, which long-lived rows then fill, so the heap cannot shrink);
  // each frame carries its block's address in a tag just before it.
  static constexpr std::size_t kBlock = 32 * 1024;
  static constexpr std::size_t kTag = 8;
  static constexpr std::size_t kAlign = 8;
  static constexpr std::size_t kLargest = 1024;  // larger requests go to the heap

  static std::size_t round(std::size_t size) { return (size + kAlign - 1) & ~(kAlign - 1); }

  static void* allocate(std::size_t size) {
    size = round(size);
    if (size > kLargest) return ::operator new(size);
    Cursor& cursor = cursor_;
    if (static_cast<std::size_t>(cursor.end - cursor.next) < kTag + size) cursor.open();
    char* p = cursor.next;
    *reinterpret_cast<Block**>(p) = cursor.block;
    cursor.next += kTag + size;
    ++cursor.carved;
    return p + kTag;
  }

  static void deallocate(void* p, std::size_t size) {
    if (round(size) > kLargest) {
      ::operator delete(p);
      return;
    }
    Block* block = *reinterpret_cast<Block**>(static_cast<char*>(p) - kTag);
    if (block->live.fetch_sub(1, std::memory_order_acq_rel) == 1) release(block);
  }

 private:
  // The frames carved and not yet freed, plus kOpen while a thread carves
  // from the block: it cannot reach zero before the thread has left it.
  struct Block {
    std::atomic<std::int64_t> live{kOpen};
  };
  static constexpr std::int64_t kOpen = std::int64_t{1} << 40;
  static constexpr std::size_t kHeader = (sizeof(Block) + kAlign - 1) & ~(kAlign - 1);

  static void release(Block* block) {
    block->~Block();
    std::free(block);
  }

  // This thread's block and the part of it not carved yet.
  struct Cursor {
    Block* block = nullptr;
    char* next = nullptr;
    char* end = nullptr;
    std::int64_t carved = 0;

    ~Cursor() { close(); }
    void open() {
      close();
      void* memory = std::malloc(kBlock);
      if (!memory) throw std::bad_alloc();
      block = new (memory) Block;
      next = static_cast<char*>(memory) + kHeader;
      end = static_cast<char*>(memory) + kBlock;
      carved = 0;
    }
    // Leaves the block to its frames: from now on the last one frees it.
    void close() {
      if (!block) return;
      const std::int64_t handed = kOpen - carved;
      if (block->live.fetch_sub(handed, std::memory_order_acq_rel) == handed) release(block);
      block = nullptr;
      next = end = nullptr;
    }
  };
  static thread_local Cursor cursor_;
};

thread_local FrameBlocks::Cursor FrameBlocks::cursor_;

template <class T>
struct FrameAllocator {
  using value_type = T;
  FrameAllocator() = default;
  template <class U>
  FrameAllocator(const FrameAllocator<U>&) {}
  T* allocate(std::size_t n) { return static_cast<T*>(FrameBlocks::allocate(n * sizeof(T))); }
  void deallocate(T* p, std::size_t n) { FrameBlocks::deallocate(p, n * sizeof(T)); }
  template <class U>
  bool operator==(const FrameAllocator<U>&) const {
    return true;
  }
};

// The room sizes a frame is made with: a binding of a stored node under a
// short name takes the first, a stored edge's the second. A binding larger
// than the last goes beside its frame.
constexpr std::array<std::size_t, 10> kRooms{32, 40, 48, 56, 64, 72, 88, 104, 128, 160};
// What `Match::create` leaves room for: a stored node's binding under a name
// of up to 16 bytes.
constexpr std::size_t kDefaultRoom = 40;

}  // namespace

Match::Binding::Binding(MatchElement::Kind kind, bool in_rows, const Uid* first, std::size_t size)
    : element(kind, in_rows, first, static_cast<std::uint32_t>(size)) {}

namespace {

bool is_edge(MatchElement::Kind kind) { return kind == MatchElement::Kind::Edge; }

// The bytes behind a binding before its name: an edge's end address, then
// the copies of the uids unless they are the store's.
std::size_t tail_size(MatchElement::Kind kind, bool in_rows) {
  const std::size_t copies = in_rows ? 0 : (is_edge(kind) ? 2 : 1) * sizeof(Uid);
  return (is_edge(kind) ? sizeof(const Uid*) : 0) + copies;
}

// Whether a binding of `element` keeps the store's uids.
bool in_rows(const MatchElement& element) {
  return element.row_uid() && (!is_edge(element.kind()) || element.row_end());
}

}  // namespace

std::size_t Match::Binding::size_for(const MatchElement& element, std::size_t name_size) {
  return FrameBlocks::round(sizeof(Binding) + tail_size(element.kind(), in_rows(element)) + name_size);
}

std::size_t Match::Binding::size() const { return FrameBlocks::round(name_at() + name_size()); }

std::size_t Match::Binding::name_at() const {
  return sizeof(Binding) + tail_size(element.kind(), element.row_uid() != nullptr);
}

const Uid* Match::Binding::end_uid() const {
  const Uid* end;
  std::memcpy(&end, reinterpret_cast<const unsigned char*>(this) + sizeof(Binding), sizeof end);
  return end;
}

std::string_view Match::Binding::name() const { return {reinterpret_cast<const char*>(this) + name_at(), name_size()}; }

template <std::size_t Room>
struct Match::Made : Match {
  explicit Made(MatchPtr parent) : Match(std::move(parent), Room) {
    assert(static_cast<void*>(bytes) == static_cast<void*>(room()));
  }
  alignas(8) unsigned char bytes[Room];
};

template <>
struct Match::Made<0> : Match {
  explicit Made(MatchPtr parent) : Match(std::move(parent), 0) {}
};

MatchPtr Match::make(MatchPtr parent, std::size_t need) {
  static_assert(sizeof(Match) % 8 == 0 && alignof(Made<kDefaultRoom>) <= FrameBlocks::kAlign);
  static_assert(sizeof(Binding) == 24 && sizeof(Binding) + sizeof(const Uid*) + 2 * sizeof(Uid) <= kRooms.back(),
                "an edge with its own copies under a short name fits a room");
  static_assert(std::is_trivially_destructible_v<Binding>, "a frame frees only the bindings beside it");
  const auto made = [&]<std::size_t Room>() -> MatchPtr {
    return std::allocate_shared<Made<Room>>(FrameAllocator<Made<Room>>{}, std::move(parent));
  };
  const auto pick = [&]<std::size_t... I>(std::index_sequence<I...>) {
    MatchPtr out;
    // The first room that fits.
    (void)((need <= kRooms[I] ? (out = made.template operator()<kRooms[I]>(), true) : false) || ...);
    return out;
  };
  if (need > kRooms.back()) return made.template operator()<0>();
  return pick(std::make_index_sequence<kRooms.size()>{});
}

MatchPtr Match::create(MatchPtr parent) { return make(std::move(parent), kDefaultRoom); }

MatchPtr Match::create_bound(MatchPtr parent, std::string_view name, const MatchElement& element) {
  MatchPtr frame = make(std::move(parent), Binding::size_for(element, name.size()));
  // Nobody else sees the frame yet: no turn to take.
  frame->head_.store(frame->place(name, element), std::memory_order_release);
  return frame;
}

namespace {

std::unexpected<Report> already_bound(std::string_view name) {
  return fail(errors::VariableAlreadyExists{std::string(name), "match insert [src/matches:167]"});
}

}  // namespace

Result<MatchPtr> Match::create_with(MatchPtr parent, std::string_view name, const MatchElement& element) {
  if (parent && parent->contains_key(name)) return already_bound(name);
  return create_bound(std::move(parent), name, element);
}

Match::~Match() {
  delete counter_.load(std::memory_order_acquire);
  // Bindings hold nothing to free: only those beside the frame are visited.
  const unsigned char* first = room();
  for (Binding* b = spilled_ ? head_.load(std::memory_order_acquire) : nullptr; b;) {
    Binding* next = b->next;
    const auto* at = reinterpret_cast<const unsigned char*>(b);
    const std::size_t size = b->size();
    std::destroy_at(b);
    if (at < first || at >= first + room_size_) FrameBlocks::deallocate(b, size);
    b = next;
  }
  // Long chains would otherwise be torn down recursively, one stack frame per
  // frame; unlink parents we hold the last reference to iteratively.
  MatchPtr next = std::move(parent_);
  while (next && next.use_count() == 1) next = std::move(next->parent_);
}

Match::Binding* Match::place(std::string_view name, const MatchElement& element) {
  const std::size_t size = Binding::size_for(element, name.size());
  void* at = nullptr;
  if (room_used_ + size <= room_size_) {
    at = room() + room_used_;
    room_used_ = static_cast<std::uint16_t>(room_used_ + size);
  } else {
    at = FrameBlocks::allocate(size);
    spilled_ = true;
  }
  const bool rows = in_rows(element);
  const bool edge = is_edge(element.kind());
  unsigned char* tail = static_cast<unsigned char*>(at) + sizeof(Binding);
  unsigned char* end_slot = tail;
  if (edge) tail += sizeof(const Uid*);
  const Uid* first = element.row_uid();
  const Uid* end = element.row_end();
  if (!rows) {
    first = std::construct_at(reinterpret_cast<Uid*>(tail), element.uid());
    tail += sizeof(Uid);
    if (edge) {
      end = std::construct_at(reinterpret_cast<Uid*>(tail), element.edge_key().second);
      tail += sizeof(Uid);
    }
  }
  if (edge) std::memcpy(end_slot, &end, sizeof end);
  if (!name.empty()) std::memcpy(tail, name.data(), name.size());
  return std::construct_at(static_cast<Binding*>(at), element.kind(), rows, first, name.size());
}

namespace {

// Names are short and mostly differ in length or first letter: those are
// compared before the bytes.
bool same_name(std::string_view bound, std::string_view name) {
  return bound.size() == name.size() &&
         (name.empty() || (bound[0] == name[0] && std::memcmp(bound.data(), name.data(), name.size()) == 0));
}

}  // namespace

const Match::Binding* Match::own(std::string_view name) const {
  for (const Binding* b = head_.load(std::memory_order_acquire); b; b = b->next)
    if (same_name(b->name(), name) && !b->is_removed()) return b;
  return nullptr;
}

const StoredElement* Match::find(std::string_view name) const {
  // Of two bindings of one name, the one nearer the root wins: the last one
  // met going up.
  const Binding* found = nullptr;
  for (const Match* m = this; m; m = m->parent_.get())
    if (const Binding* b = m->own(name)) found = b;
  return found ? &found->element : nullptr;
}

std::optional<MatchElement> Match::get(std::string_view name) const {
  if (const StoredElement* found = find(name)) return found->element();
  return std::nullopt;
}

bool Match::contains_key(std::string_view name) const {
  for (const Match* m = this; m; m = m->parent_.get())
    if (m->own(name)) return true;
  return false;
}

Status Match::insert(std::string_view name, const MatchElement& element) {
  if (contains_key(name)) return already_bound(name);
  append(name, element);
  return {};
}

std::optional<MatchElement> Match::bind(std::string_view name, const MatchElement& element) {
  if (auto bound = get(name)) return bound;
  append(name, element);
  return std::nullopt;
}

void Match::append(std::string_view name, const MatchElement& element) {
  while (writing_.exchange(true, std::memory_order_acquire)) {
  }
  Binding* binding = place(name, element);
  binding->next = head_.load(std::memory_order_relaxed);
  head_.store(binding, std::memory_order_release);
  writing_.store(false, std::memory_order_release);
}

std::optional<MatchElement> Match::remove(std::string_view name) {
  for (Match* m = this; m; m = m->parent_.get()) {
    for (Binding* b = m->head_.load(std::memory_order_acquire); b; b = b->next) {
      if (!same_name(b->name(), name)) continue;
      bool live = false;
      if (b->removed().compare_exchange_strong(live, true, std::memory_order_acq_rel)) return b->element.element();
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

utils::CreationCounter* Match::nearest_counter() const {
  for (const Match* m = this; m; m = m->parent_.get())
    if (auto* cell = m->counter_.load(std::memory_order_acquire)) return cell->get();
  return nullptr;
}

bool Match::set_counter(std::uint32_t limit) {
  if (counter_.load(std::memory_order_acquire)) return false;
  auto* fresh = new std::shared_ptr<utils::CreationCounter>(std::make_shared<utils::CreationCounter>(limit));
  std::shared_ptr<utils::CreationCounter>* expected = nullptr;
  if (counter_.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) return true;
  delete fresh;
  return false;
}

MatchSetMap::~MatchSetMap() = default;

std::optional<MatchEntry> MatchSetMap::get(std::uint64_t id) const {
  if (first_ && first_->first == id) return first_->second;
  for (const Chunk& chunk : chunks_)
    for (const auto& [key, entry] : chunk)
      if (key == id) return entry;
  return std::nullopt;
}

std::vector<std::uint64_t> MatchSetMap::keys() const {
  std::vector<std::uint64_t> out;
  out.reserve(size());
  if (first_) out.push_back(first_->first);
  for (const Chunk& chunk : chunks_)
    for (const auto& entry : chunk) out.push_back(entry.first);
  return out;
}

void MatchSetMap::insert(std::uint64_t id, MatchEntry entry) {
  std::lock_guard lock(mutex_);
  if (!first_) {
    first_.emplace(id, std::move(entry));
  } else {
    if (chunks_.empty()) chunks_.emplace_back();
    chunks_.front().emplace_back(id, std::move(entry));
  }
  size_.fetch_add(1, std::memory_order_release);
}

void MatchSetMap::append_chunk(Chunk&& chunk) {
  if (chunk.empty()) return;
  const std::size_t n = chunk.size();
  std::lock_guard lock(mutex_);
  if (chunks_.empty()) chunks_.emplace_back();  // keeps chunks_[0] for single inserts
  chunks_.push_back(std::move(chunk));
  size_.fetch_add(n, std::memory_order_release);
}

std::vector<MatchSetMap::Table> MatchSetMap::split() const {
  const std::size_t grain = light_grain(size());
  std::vector<Table> pieces;
  pieces.reserve(size() / grain + chunks_.size() + 1);
  if (first_) pieces.emplace_back(&*first_, 1);
  for (const Chunk& chunk : chunks_) {
    for (std::size_t begin = 0; begin < chunk.size(); begin += grain)
      pieces.emplace_back(chunk.data() + begin, std::min(grain, chunk.size() - begin));
  }
  return pieces;
}

std::vector<MatchSetMap::Chunk> MatchSetMap::take_chunks() {
  std::lock_guard lock(mutex_);
  size_.store(0, std::memory_order_release);
  std::vector<Chunk> out = std::exchange(chunks_, {});
  if (first_) {
    // Ahead of the later single inserts, as the walks see it.
    if (out.empty()) out.emplace_back();
    out.front().insert(out.front().begin(), std::move(*first_));
    first_.reset();
  }
  return out;
}

void MatchSetMap::clear_parallel() {
  std::vector<Chunk> chunks;
  std::optional<value_type> first;
  {
    std::lock_guard lock(mutex_);
    chunks.swap(chunks_);
    first.swap(first_);
    size_.store(0, std::memory_order_release);
  }
  std::size_t total = 0;
  for (const Chunk& chunk : chunks) total += chunk.size();
  if (total <= kInlineWalk) return;
  // A chunk of one piece (a step's output chunk) is freed whole, storage and
  // all, by its task: destroying it on the calling thread afterwards would
  // walk every entry once more, there alone. A longer chunk has each piece's
  // frames dropped in place, and its storage freed on the calling thread.
  std::vector<std::pair<Chunk*, std::size_t>> pieces;
  for (Chunk& chunk : chunks)
    for (std::size_t begin = 0; begin < chunk.size(); begin += kWalkGrain) pieces.emplace_back(&chunk, begin);
  utils::tsan::Join join;
  tbb::parallel_for(std::size_t{0}, pieces.size(),
                    utils::tsan::body(
                        [&](std::size_t i) {
                          auto [chunk, begin] = pieces[i];
                          if (chunk->size() <= kWalkGrain) {
                            Chunk().swap(*chunk);
                            return;
                          }
                          const std::size_t end = std::min(begin + kWalkGrain, chunk->size());
                          for (std::size_t j = begin; j < end; ++j) (*chunk)[j].second.match.reset();
                        },
                        join));
  join.joined();
}

namespace {

// The task that empties a set on the pool. The pool copies it into task
// memory on the enqueuing thread and runs it on another; ThreadSanitizer sees
// neither step (the scheduler is not instrumented), so each copy releases at
// its own address once written and a run acquires there before reading, and
// the memory's previous user (released on destruction) is acquired first.
class BackgroundRelease {
 public:
  explicit BackgroundRelease(MatchSet set) : held_(std::move(set)) {
    utils::tsan::acquire(this);
    utils::tsan::release(this);
  }
  BackgroundRelease(const BackgroundRelease& other) : held_((utils::tsan::acquire(&other), other.held_)) {
    utils::tsan::acquire(this);
    utils::tsan::release(this);
  }
  BackgroundRelease(BackgroundRelease&& other) noexcept
      : held_((utils::tsan::acquire(&other), std::move(other.held_))) {
    utils::tsan::acquire(this);
    utils::tsan::release(this);
  }
  BackgroundRelease& operator=(const BackgroundRelease&) = delete;
  ~BackgroundRelease() { utils::tsan::release(this); }

  void operator()() const {
    utils::tsan::acquire(this);
    utils::tsan::acquire(held_.get());
    held_->clear_parallel();
  }

 private:
  MatchSet held_;
};

}  // namespace

MatchSet root_match_set() {
  MatchSet set = new_match_set();
  set->insert(0, MatchEntry{Uid{}, Match::create()});
  return set;
}

void release_in_background(MatchSet&& set) {
  if (!set) return;
  if (set.use_count() != 1 || set->size() <= MatchSetMap::kInlineWalk) {
    set.reset();
    return;
  }
  // Without a second thread nobody would pick the task up until the caller
  // next waits on the pool. The arena's size does not show a cap on the
  // pool's threads: under a cap of one, the pool would start a thread beyond
  // it just to run the task.
  if (tbb::this_task_arena::max_concurrency() <= 1 ||
      tbb::global_control::active_value(tbb::global_control::max_allowed_parallelism) <= 1) {
    set.reset();
    return;
  }
  // The pool frees it while the caller goes on; nothing waits for the task.
  MatchSetMap* raw = set.get();
  utils::tsan::release(raw);
  tbb::this_task_arena::enqueue(BackgroundRelease(std::move(set)));
}

}  // namespace velmora
