#include "errors.hpp"

#include <fmt/format.h>

#include <concepts>
#include <type_traits>

namespace velmora {
namespace {

using namespace errors;

// " (context)", or nothing when the context is absent.
std::string suffix(const Context& context) { return context ? fmt::format(" ({})", *context) : std::string(); }

std::string edge_hex(const EdgeKey& key) {
  return fmt::format("({}, {})", uid_to_hex(key.first), uid_to_hex(key.second));
}

std::string render(const TypeMismatch& e) {
  return fmt::format("Type Mismatch: expected {}, got {}{}", e.expected, e.got, suffix(e.context));
}
std::string render(const InvalidPattern& e) { return fmt::format("Invalid Pattern; '{}': {}", e.pattern, e.reason); }
std::string render(const SchemaValidation& e) {
  return fmt::format("Schema Validation Failed for '{}': {}", e.schema, e.reason);
}
std::string render(const InvalidIdentifier& e) { return fmt::format("Invalid Identifier '{}': {}", e.name, e.reason); }
std::string render(const PythonError& e) { return fmt::format("Python Error: '{}'{}", e.message, suffix(e.context)); }
std::string render(const InvalidType& e) { return fmt::format("Invalid Type: '{}'", e.reason); }
std::string render(const InvalidTerm& e) { return fmt::format("Invalid Term: '{}'", e.reason); }
std::string render(const LockError& e) {
  return fmt::format("Failed to acquire {} lock: '{}'{}", e.rw, e.message, suffix(e.context));
}
std::string render(const errors::RuntimeError& e) {
  return fmt::format("Something went wrong: '{}'{}", e.message, suffix(e.context));
}
std::string render(const TypeNotFound& e) {
  return fmt::format("Type with Uid: '{}' not found{}", uid_to_hex(e.uid), suffix(e.context));
}
std::string render(const TermNotFound& e) {
  return fmt::format("Term with Uid: '{}' not found{}", uid_to_hex(e.uid), suffix(e.context));
}
std::string render(const NodeNotFound& e) {
  return fmt::format("Node with Uid: '{}' not found{}", uid_to_hex(e.uid), suffix(e.context));
}
std::string render(const EdgeNotFound& e) {
  return fmt::format("Edge with Uid: '{}' not found{}", edge_hex(e.uid), suffix(e.context));
}
std::string render(const VariableNotFound& e) {
  return fmt::format("Variable not found: '{}'{}", e.name, suffix(e.context));
}
std::string render(const VariableAlreadyExists& e) {
  return fmt::format("Variable already exists: '{}'{}", e.name, suffix(e.context));
}
std::string render(const NodeAlreadyExists& e) {
  return fmt::format("Node Already Exists: '{}'{}", uid_to_hex(e.uid), suffix(e.context));
}
std::string render(const ContextConflict& e) {
  return fmt::format("Context Conflict: tried to assign variable '{}' currently holding a '{}' to a '{}'{}", e.name,
                     e.original, e.new_, suffix(e.context));
}
std::string render(const IndexCorruption& e) {
  return fmt::format("Index Corruption: '{}'{}", e.message, suffix(e.context));
}
std::string render(const IndexOutOfRange& e) {
  return fmt::format("Index Out of Range: tried to access index {} from an iterable of length {}{}", e.index, e.max_len,
                     suffix(e.context));
}
std::string render(const Infallible&) {
  return "FATAL: An infallible error was returned, please contact the developers of the Velmora "
         "Library as this should not occur.";
}
std::string render(const InvalidQuery& e) {
  return fmt::format("Invalid Query:\n{}\n\nReason: {}{}", e.query, e.reason,
                     e.context ? fmt::format("\n({})", *e.context) : std::string());
}
std::string render(const InvalidNumberOfArguments& e) {
  return fmt::format("Invalid Number of Arguments: expected {}, got {}{}", e.expected, e.got, suffix(e.context));
}
std::string render(const ConstantNotFound& e) {
  return fmt::format("Constant Not Found: '{}'{}", e.name, suffix(e.context));
}
std::string render(const HexConversionError& e) {
  return fmt::format("Hex Conversion Error: '{}'{}", e.reason, suffix(e.context));
}
std::string render(const CreationCounterNotFound& e) {
  return fmt::format("Creation Counter Not Found{}", suffix(e.context));
}

// Every kind names itself and its Python class beside its fields.
template <class K>
concept DescribedKind = requires {
  { K::kName } -> std::convertible_to<std::string_view>;
  { K::kPython } -> std::convertible_to<PyClass>;
};
static_assert([]<class... K>(std::type_identity<std::variant<K...>>) {
  return (DescribedKind<K> && ...);
}(std::type_identity<VelmoraError::Kind>{}));

template <class>
inline constexpr bool kNoRendering = false;

// Field renderings for the developer form.
std::string field(const std::string& s) { return fmt::format("{:?}", s); }
std::string field(const Context& c) { return c ? fmt::format("Some({:?})", *c) : "None"; }
std::string field(const Uid& u) { return uid_to_hex(u); }
std::string field(const EdgeKey& k) { return edge_hex(k); }
std::string field(std::size_t n) { return std::to_string(n); }

template <class... Named>
std::string fields(std::string_view name, const Named&... named) {
  std::string out(name);
  out += " {";
  bool first = true;
  (
      [&] {
        out += first ? " " : ", ";
        first = false;
        out += named.first;
        out += ": ";
        out += field(named.second);
      }(),
      ...);
  out += " }";
  return out;
}

template <class T>
std::pair<const char*, const T&> f(const char* n, const T& v) {
  return {n, v};
}

}  // namespace

std::string VelmoraError::message() const {
  return std::visit([](const auto& e) { return render(e); }, kind_);
}

std::string_view VelmoraError::name() const {
  return std::visit([](const auto& e) { return std::decay_t<decltype(e)>::kName; }, kind_);
}

std::string VelmoraError::debug() const {
  const auto n = name();
  return std::visit(
      [n](const auto& e) -> std::string {
        using K = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<K, TypeMismatch>)
          return fields(n, f("expected", e.expected), f("got", e.got), f("context", e.context));
        else if constexpr (std::is_same_v<K, InvalidPattern>)
          return fields(n, f("pattern", e.pattern), f("reason", e.reason));
        else if constexpr (std::is_same_v<K, SchemaValidation>)
          return fields(n, f("schema", e.schema), f("reason", e.reason));
        else if constexpr (std::is_same_v<K, InvalidIdentifier>)
          return fields(n, f("name", e.name), f("reason", e.reason));
        else if constexpr (std::is_same_v<K, InvalidType> || std::is_same_v<K, InvalidTerm>)
          return fields(n, f("reason", e.reason));
        else if constexpr (std::is_same_v<K, LockError>)
          return fields(n, f("rw", e.rw), f("message", e.message), f("context", e.context));
        else if constexpr (std::is_same_v<K, PythonError> || std::is_same_v<K, errors::RuntimeError> ||
                           std::is_same_v<K, IndexCorruption>)
          return fields(n, f("message", e.message), f("context", e.context));
        else if constexpr (std::is_same_v<K, TypeNotFound> || std::is_same_v<K, TermNotFound> ||
                           std::is_same_v<K, NodeNotFound> || std::is_same_v<K, EdgeNotFound> ||
                           std::is_same_v<K, NodeAlreadyExists>)
          return fields(n, f("uid", e.uid), f("context", e.context));
        else if constexpr (std::is_same_v<K, VariableNotFound> || std::is_same_v<K, VariableAlreadyExists> ||
                           std::is_same_v<K, ConstantNotFound>)
          return fields(n, f("name", e.name), f("context", e.context));
        else if constexpr (std::is_same_v<K, ContextConflict>)
          return fields(n, f("name", e.name), f("original", e.original), f("new", e.new_), f("context", e.context));
        else if constexpr (std::is_same_v<K, IndexOutOfRange>)
          return fields(n, f("index", e.index), f("max_len", e.max_len), f("context", e.context));
        else if constexpr (std::is_same_v<K, Infallible>)
          return std::string(n);
        else if constexpr (std::is_same_v<K, InvalidQuery>)
          return fields(n, f("query", e.query), f("reason", e.reason), f("context", e.context));
        else if constexpr (std::is_same_v<K, InvalidNumberOfArguments>)
          return fields(n, f("expected", e.expected), f("got", e.got), f("context", e.context));
        else if constexpr (std::is_same_v<K, HexConversionError>)
          return fields(n, f("reason", e.reason), f("context", e.context));
        else if constexpr (std::is_same_v<K, CreationCounterNotFound>)
          return fields(n, f("context", e.context));
        else
          static_assert(kNoRendering<K>, "a kind needs its fields listed here");
      },
      kind_);
}

PyClass VelmoraError::python_class() const {
  return std::visit([](const auto& e) { return std::decay_t<decltype(e)>::kPython; }, kind_);
}

std::string positioned(std::string_view text, std::source_location where) {
  return fmt::format("{} [{}]", text, source_position(where));
}

Report::Report(VelmoraError error) { errors_.push_back(std::move(error)); }

Report& Report::attach(std::string_view text, std::source_location where) & {
  frames_.push_back({Frame::Kind::Line, fmt::format("{} [{}]", text, source_position(where))});
  return *this;
}

Report& Report::note(std::string_view text) & {
  frames_.push_back({Frame::Kind::Note, std::string(text)});
  return *this;
}

Report& Report::change_context(VelmoraError error) & {
  errors_.push_back(std::move(error));
  return *this;
}

std::vector<std::string> Report::lines() const {
  std::vector<std::string> out;
  for (const auto& frame : frames_)
    if (frame.kind == Frame::Kind::Line) out.push_back(frame.text);
  return out;
}

namespace errors {

std::string format_report(const Report& report) {
  std::string out = report.current_context().message();
  const auto lines = report.lines();
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
    out += "\n \u2192 ";
    out += *it;
  }
  return out;
}

}  // namespace errors
}  // namespace velmora
