#include "cmp.hpp"

#include <cmath>
#include <limits>

namespace velmora {

bool compare_values(const Value& a, const Value& b) {
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case Value::Kind::Opaque: return *a.get_if<PyOpaque>() == *b.get_if<PyOpaque>();
    case Value::Kind::Int: return *a.get_if<std::int64_t>() == *b.get_if<std::int64_t>();
    case Value::Kind::Float:
      // An absolute tolerance, by design: it is not scaled to the magnitudes.
      return std::fabs(*a.get_if<double>() - *b.get_if<double>()) < std::numeric_limits<double>::epsilon();
    case Value::Kind::Bool: return *a.get_if<bool>() == *b.get_if<bool>();
    case Value::Kind::String: return *a.get_if<std::string>() == *b.get_if<std::string>();
    case Value::Kind::Map: {
      const auto& am = *a.get_if<Value::Map>();
      const auto& bm = *b.get_if<Value::Map>();
      if (am.size() != bm.size()) return false;
      for (const auto& [key, value] : am) {
        const auto it = bm.find(key);
        if (it == bm.end() || !compare_values(value, it->second)) return false;
      }
      return true;
    }
    case Value::Kind::Array: {
      const auto& aa = *a.get_if<Value::Array>();
      const auto& ba = *b.get_if<Value::Array>();
      if (aa.size() != ba.size()) return false;
      for (std::size_t i = 0; i < aa.size(); ++i) {
        if (!compare_values(aa[i], ba[i])) return false;
      }
      return true;
    }
    case Value::Kind::Empty: break;
  }
  return false;
}

std::optional<bool> compare_in_place(const Value& a, const PropertyMap::Peek& b) {
  if (a.kind() != b.kind) return false;
  switch (b.kind) {
    case Value::Kind::Int: return b.number == *a.get_if<std::int64_t>();
    case Value::Kind::Bool: return (b.number != 0) == *a.get_if<bool>();
    case Value::Kind::String: return b.text == *a.get_if<std::string>();
    default: break;
  }
  if (b.boxed) return compare_values(a, *b.boxed);
  return std::nullopt;
}

}  // namespace velmora
