// The one error type of the system, error reports, and the result type that
// every fallible operation returns.
//
// A `VelmoraError` is one of 25 kinds, each with fixed fields and a message
// text. A `Report` carries the current error plus the context lines callers
// attach on the way up; at the Python boundary it becomes an exception whose
// class follows the kind and whose text is `format_report`.
//
// Reports are plain owned values: they may be made and extended on any thread
// and moved to the caller's thread. Nothing here locks or touches Python.
#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <source_location>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "utils/source_position.hpp"
#include "utils/uid.hpp"

namespace velmora {

using Context = std::optional<std::string>;

// The built-in Python exception class a kind is raised as.
enum class PyClass { TypeError, ValueError, RuntimeError, KeyError, IndexError, SystemError };

namespace errors {

// Each kind carries its name and the Python class it is raised as, so a new
// kind is its struct plus its place in `VelmoraError::Kind` (the compiler then
// asks for its message and its developer rendering in errors.cpp).
struct TypeMismatch {
  static constexpr std::string_view kName = "TypeMismatch";
  static constexpr PyClass kPython = PyClass::TypeError;
  std::string expected;
  std::string got;
  Context context;
};
struct InvalidPattern {
  static constexpr std::string_view kName = "InvalidPattern";
  static constexpr PyClass kPython = PyClass::ValueError;
  std::string pattern;
  std::string reason;
};
struct SchemaValidation {
  static constexpr std::string_view kName = "SchemaValidation";
  static constexpr PyClass kPython = PyClass::ValueError;
  std::string schema;
  std::string reason;
};
struct InvalidIdentifier {
  static constexpr std::string_view kName = "InvalidIdentifier";
  static constexpr PyClass kPython = PyClass::ValueError;
  std::string name;
  std::string reason;
};
struct PythonError {
  static constexpr std::string_view kName = "PythonError";
  static constexpr PyClass kPython = PyClass::RuntimeError;
  std::string message;
  Context context;
};
struct InvalidType {
  static constexpr std::string_view kName = "InvalidType";
  static constexpr PyClass kPython = PyClass::TypeError;
  std::string reason;
};
struct InvalidTerm {
  static constexpr std::string_view kName = "InvalidTerm";
  static constexpr PyClass kPython = PyClass::ValueError;
  std::string reason;
};
struct LockError {
  static constexpr std::string_view kName = "LockError";
  static constexpr PyClass kPython = PyClass::RuntimeError;
  std::string rw;
  std::string message;
  Context context;
};
struct RuntimeError {
  static constexpr std::string_view kName = "RuntimeError";
  static constexpr PyClass kPython = PyClass::RuntimeError;
  std::string message;
  Context context;
};
struct TypeNotFound {
  static constexpr std::string_view kName = "TypeNotFound";
  static constexpr PyClass kPython = PyClass::KeyError;
  Uid uid;
  Context context;
};
struct TermNotFound {
  static constexpr std::string_view kName = "TermNotFound";
  static constexpr PyClass kPython = PyClass::KeyError;
  Uid uid;
  Context context;
};
struct NodeNotFound {
  static constexpr std::string_view kName = "NodeNotFound";
  static constexpr PyClass kPython = PyClass::KeyError;
  Uid uid;
  Context context;
};
struct EdgeNotFound {
  static constexpr std::string_view kName = "EdgeNotFound";
  static constexpr PyClass kPython = PyClass::KeyError;
  EdgeKey uid;
  Context context;
};
struct VariableNotFound {
  static constexpr std::string_view kName = "VariableNotFound";
  static constexpr PyClass kPython = PyClass::KeyError;
  std::string name;
  Context context;
};
struct VariableAlreadyExists {
  static constexpr std::string_view kName = "VariableAlreadyExists";
  static constexpr PyClass kPython = PyClass::KeyError;
  std::string name;
  Context context;
};
struct NodeAlreadyExists {
  static constexpr std::string_view kName = "NodeAlreadyExists";
  static constexpr PyClass kPython = PyClass::KeyError;
  Uid uid;
  Context context;
};
struct ContextConflict {
  static constexpr std::string_view kName = "ContextConflict";
  static constexpr PyClass kPython = PyClass::ValueError;
  std::string name;
  std::string original;
  std::string new_;
  Context context;
};
struct IndexCorruption {
  static constexpr std::string_view kName = "IndexCorruption";
  static constexpr PyClass kPython = PyClass::IndexError;  // not RuntimeError: part of the interface
  std::string message;
  Context context;
};
struct IndexOutOfRange {
  static constexpr std::string_view kName = "IndexOutOfRange";
  static constexpr PyClass kPython = PyClass::KeyError;  // not IndexError: part of the interface
  std::size_t index;
  std::size_t max_len;
  Context context;
};
struct Infallible {
  static constexpr std::string_view kName = "Infallible";
  static constexpr PyClass kPython = PyClass::SystemError;
};
struct InvalidQuery {
  static constexpr std::string_view kName = "InvalidQuery";
  static constexpr PyClass kPython = PyClass::ValueError;
  std::string query;
  std::string reason;
  Context context;
};
struct InvalidNumberOfArguments {
  static constexpr std::string_view kName = "InvalidNumberOfArguments";
  static constexpr PyClass kPython = PyClass::ValueError;
  std::size_t expected;
  std::size_t got;
  Context context;
};
struct ConstantNotFound {
  static constexpr std::string_view kName = "ConstantNotFound";
  static constexpr PyClass kPython = PyClass::KeyError;
  std::string name;
  Context context;
};
struct HexConversionError {
  static constexpr std::string_view kName = "HexConversionError";
  static constexpr PyClass kPython = PyClass::ValueError;
  std::string reason;
  Context context;
};
struct CreationCounterNotFound {
  static constexpr std::string_view kName = "CreationCounterNotFound";
  static constexpr PyClass kPython = PyClass::RuntimeError;
  Context context;
};

}  // namespace errors

class VelmoraError {
 public:
  using Kind =
      std::variant<errors::TypeMismatch, errors::InvalidPattern, errors::SchemaValidation, errors::InvalidIdentifier,
                   errors::PythonError, errors::InvalidType, errors::InvalidTerm, errors::LockError,
                   errors::RuntimeError, errors::TypeNotFound, errors::TermNotFound, errors::NodeNotFound,
                   errors::EdgeNotFound, errors::VariableNotFound, errors::VariableAlreadyExists,
                   errors::NodeAlreadyExists, errors::ContextConflict, errors::IndexCorruption, errors::IndexOutOfRange,
                   errors::Infallible, errors::InvalidQuery, errors::InvalidNumberOfArguments, errors::ConstantNotFound,
                   errors::HexConversionError, errors::CreationCounterNotFound>;

  template <class K>
  requires std::is_constructible_v<Kind, K&&> VelmoraError(K&& kind)
      : kind_(std::forward<K>(kind)) {}  // NOLINT: implicit by design

  const Kind& kind() const { return kind_; }
  std::size_t index() const { return kind_.index(); }
  template <class K>
  bool is() const {
    return std::holds_alternative<K>(kind_);
  }
  template <class K>
  const K* get() const {
    return std::get_if<K>(&kind_);
  }

  // The message a Python caller reads (without context lines).
  std::string message() const;
  // Developer rendering: the kind's name, then each field by name.
  std::string debug() const;
  // The kind's name, e.g. "VariableNotFound".
  std::string_view name() const;
  PyClass python_class() const;

 private:
  Kind kind_;
};

// An error report: the current error, context lines and silent notes, newest
// last. Owned, moved up the call chain, never shared.
class Report {
 public:
  explicit Report(VelmoraError error);

  const VelmoraError& current_context() const { return errors_.back(); }

  // Puts a context line "text [src/path:line]" on top.
  Report& attach(std::string_view text, std::source_location where = std::source_location::current()) &;
  Report&& attach(std::string_view text, std::source_location where = std::source_location::current()) && {
    return std::move(attach(text, where));
  }
  // A note that travels with the report but never prints.
  Report& note(std::string_view text) &;
  Report&& note(std::string_view text) && { return std::move(note(text)); }
  // Replaces the current error; everything attached so far still prints.
  Report& change_context(VelmoraError error) &;
  Report&& change_context(VelmoraError error) && { return std::move(change_context(std::move(error))); }

  // Context lines, oldest first.
  std::vector<std::string> lines() const;

 private:
  struct Frame {
    enum class Kind { Line, Note } kind;
    std::string text;
  };
  std::vector<VelmoraError> errors_;  // the last is current
  std::vector<Frame> frames_;         // in order of attachment
};

// A result must be looked at: a dropped one is a dropped error. Call sites
// that mean to ignore one say so with a (void) cast and the reason.
template <class T>
class [[nodiscard]] Result : public std::expected<T, Report> {
  using Base = std::expected<T, Report>;

 public:
  using Base::Base;
  using Base::operator=;
  // Provided, not defaulted: `return {}` value-initializes, and with a
  // defaulted constructor that zeroes the whole error slot first.
  constexpr Result() noexcept(std::is_nothrow_default_constructible_v<Base>) : Base() {}
  Result(Base&& other) : Base(std::move(other)) {}  // NOLINT: implicit, as results of monadic calls
  Result(const Base& other) : Base(other) {}        // NOLINT
};
using Status = Result<void>;

// "text [src/path:line]" for the caller's position: the form that a few
// raising sites put into an error's own context field.
std::string positioned(std::string_view text, std::source_location where = std::source_location::current());

// A failed result holding a new report of `error`.
inline std::unexpected<Report> fail(VelmoraError error) { return std::unexpected<Report>(Report(std::move(error))); }

// Attaches a context line to the report of a failed result; a value passes.
template <class T>
Result<T> with_context(Result<T>&& result, std::string_view text,
                       std::source_location where = std::source_location::current()) {
  if (!result) result.error().attach(text, where);
  return std::move(result);
}

namespace errors {
// The message, then "\n → " and each context line, newest first.
std::string format_report(const Report& report);
}  // namespace errors

}  // namespace velmora

// Evaluates `expr` (a Result); on failure returns its report from the enclosing
// function with the context line `text` attached at this position.
#define VM_TRY_CTX(expr, text)                                                                   \
  ({                                                                                             \
    auto vm_try_result_ = (expr);                                                                \
    if (!vm_try_result_) return std::unexpected(std::move(vm_try_result_).error().attach(text)); \
    std::move(vm_try_result_).value();                                                           \
  })

// The same without a context line: for the sites that pass reports up bare.
#define VM_TRY(expr)                                                                \
  ({                                                                                \
    auto vm_try_result_ = (expr);                                                   \
    if (!vm_try_result_) return std::unexpected(std::move(vm_try_result_).error()); \
    std::move(vm_try_result_).value();                                              \
  })
