// A bound on how deeply the recursive pattern parsers descend.
//
// Schemas and literals nest (parentheses, arrows, applications, lists); each
// level is one parser frame, so unbounded input could exhaust the stack of the
// calling thread. Real patterns stay far below the bound.
#pragma once

namespace velmora::patterns {

inline constexpr int kMaxNesting = 256;
inline constexpr const char* kTooDeep = "Pattern is nested too deeply";

// Counts the parser frames of the calling thread for as long as it lives.
class NestingGuard {
 public:
  NestingGuard() { ++depth(); }
  ~NestingGuard() { --depth(); }
  NestingGuard(const NestingGuard&) = delete;
  NestingGuard& operator=(const NestingGuard&) = delete;

  bool too_deep() const { return depth() > kMaxNesting; }

 private:
  static int& depth() {
    thread_local int value = 0;
    return value;
  }
};

}  // namespace velmora::patterns
