// Uids and edge keys, the identities of everything in a graph.
//
// A uid is the 32-byte SHA-256 digest of a type's structure; node uids are type
// uids. An edge is keyed by the pair (start uid, end uid). Outside the process a
// uid is 64 lower-case hexadecimal digits.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <utility>

namespace velmora {

using Uid = std::array<std::uint8_t, 32>;
using EdgeKey = std::pair<Uid, Uid>;

// Lower-case hexadecimal text of `bytes`, two digits a byte, high half first.
std::string to_hex(std::span<const std::uint8_t> bytes);

inline std::string uid_to_hex(const Uid& uid) { return to_hex(uid); }

// The digest is already uniformly spread, so its first eight bytes hash it.
struct UidHash {
  std::size_t operator()(const Uid& uid) const noexcept {
    std::size_t h;
    std::memcpy(&h, uid.data(), sizeof h);
    return h;
  }
  std::size_t operator()(const EdgeKey& key) const noexcept {
    return (*this)(key.first) * 0x9E3779B97F4A7C15ull ^ (*this)(key.second);
  }
};

}  // namespace velmora
