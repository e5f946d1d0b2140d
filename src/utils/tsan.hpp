// Fork/join edges of the pool, told to ThreadSanitizer.
//
// The pool's scheduler (spawning, stealing, joining tasks) runs inside libtbb,
// which is not instrumented, so a ThreadSanitizer build does not see that the
// code before a parallel loop happens before its tasks, nor that the tasks
// happen before the code after the wait. These helpers state those edges; in
// any other build they are empty and compile to nothing.
//
// Use: one `Join` per parallel call on the caller's stack; hand the pool
// `tsan::body(fn, join)` instead of `fn`; call `join.joined()` after the wait.
// Without ThreadSanitizer, `body` hands back `fn` itself and `Join` is empty.
//
// Every edge is keyed on an address whose users are ordered in fact: a body
// copy is written by the task that spawns it (or by the caller, for the first
// one) before the pool runs it, and task memory goes back to the pool only
// after its task has ended; a `Join` lives in one caller's frame. So the
// clocks that pile up on an address never order two things that the program
// does not order itself.
#pragma once

#include <utility>

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#define VELMORA_TSAN 1
#endif

namespace velmora::utils::tsan {

#ifdef VELMORA_TSAN
inline void acquire(const void* addr) { __tsan_acquire(const_cast<void*>(addr)); }
inline void release(const void* addr) { __tsan_release(const_cast<void*>(addr)); }
#else
inline void acquire(const void*) {}
inline void release(const void*) {}
#endif

#ifdef VELMORA_TSAN

// The end of a parallel call: every task releases here when it ends; the
// caller acquires after the wait, and again on leaving its scope, which covers
// a fault that the pool rethrows on the calling thread.
class Join {
 public:
  Join() = default;
  Join(const Join&) = delete;
  Join& operator=(const Join&) = delete;
  ~Join() { joined(); }

  void task_done() const { release(this); }
  void joined() const { acquire(this); }

 private:
  char sync_ = 0;  // only its address is used
};

namespace detail {

// First base of `Body`. A copy, before anything is read or written, acquires
// at the source (the pool splits a stolen task's body before calling it) and
// at its own address (the previous user of that task memory released there).
struct Handoff {
  Handoff() { acquire(this); }
  Handoff(const Handoff& other) {
    acquire(&other);
    acquire(this);
  }
  Handoff& operator=(const Handoff&) = delete;
  const void* key() const { return this; }
};

}  // namespace detail

// A loop or task body for the pool. Making a copy (which the pool does on the
// thread that spawns the task holding it) releases at the copy's address; a
// call acquires there first, then, on its way out, releases there (for the
// next user of the memory) and at the `Join`.
template <class Fn>
class Body : private detail::Handoff {
 public:
  Body(Fn fn, const Join& join) : fn_(std::move(fn)), join_(&join) { release(key()); }
  Body(const Body& other) : Handoff(other), fn_(other.fn_), join_(other.join_) { release(key()); }
  Body& operator=(const Body&) = delete;
  ~Body() { release(key()); }

  template <class... Args>
  decltype(auto) operator()(Args&&... args) const {
    acquire(key());
    struct Leave {
      const Body& body;
      ~Leave() {
        release(body.key());
        body.join_->task_done();
      }
    } leave{*this};
    return fn_(std::forward<Args>(args)...);
  }

 private:
  Fn fn_;
  const Join* join_;
};

template <class Fn>
Body<std::decay_t<Fn>> body(Fn&& fn, const Join& join) {
  return Body<std::decay_t<Fn>>(std::forward<Fn>(fn), join);
}

#else

class Join {
 public:
  Join() = default;
  Join(const Join&) = delete;
  Join& operator=(const Join&) = delete;
  void joined() const {}
};

template <class Fn>
Fn&& body(Fn&& fn, const Join&) {
  return std::forward<Fn>(fn);
}

#endif

}  // namespace velmora::utils::tsan
