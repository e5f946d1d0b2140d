// Schema evaluation: schema-to-type and schema-to-term conversion under a
// match frame, and term inference from the graph's constants.
#include "graph/schema.hpp"

#include <tbb/task_arena.h>

#include <array>
#include <cstdint>
#include <string>
#include <utility>

#include "graph/matches/schemas.hpp"
#include "parallel.hpp"
#include "utils/source_position.hpp"

// Part of the store: its context lines print the store's module.
VELMORA_MODULE("src/graph/base");

namespace velmora::graph {

using patterns::TermPattern;
using patterns::TermSchema;
using patterns::TypePattern;
using patterns::TypeSchema;

namespace {

// A wildcard fails deep in the tree, where the schema's text is unknown; the
// schema-level step names the whole schema instead.
Report rename_invalid_pattern(Report report, const std::string& schema_text) {
  if (const auto* invalid = report.current_context().get<errors::InvalidPattern>()) {
    std::string reason = invalid->reason;
    report.change_context(errors::InvalidPattern{schema_text, std::move(reason)});
  }
  return report;
}

}  // namespace

Result<TypePtr> type_schema_to_type(Graph& graph, const TypeSchema& schema, const MatchPtr& m) {
  // Most schemas are one name. A schema's names passed the name checks when
  // it was parsed, so an unbound one is its type variable as it stands.
  if (const auto* variable = schema.pattern().get<TypePattern::Variable>();
      variable && !m->contains_key(variable->name))
    return typing::make_type(typing::Variable{variable->name});
  auto type = pattern_to_type_recursive(graph, schema.pattern(), m);
  if (!type) {
    Report report = rename_invalid_pattern(std::move(type).error(), schema.schema());
    report.attach("graph - type schema to type");
    return std::unexpected(std::move(report));
  }
  return type;
}

Result<Term> term_schema_to_term(Graph& graph, const TermSchema& schema, const MatchPtr& m) {
  auto term = pattern_to_term_recursive(graph, schema.pattern(), m);
  if (!term) {
    Report report = rename_invalid_pattern(std::move(term).error(), schema.schema());
    report.attach("graph - term schema to term");
    return std::unexpected(std::move(report));
  }
  return term;
}

namespace {

Result<TypePtr> bound_type(const Graph& graph, const std::string& name, const MatchElement& element) {
  const Uid uid = VM_TRY_CTX(element.as_type(name, "pattern to type recursive"), "graph - pattern to type recursive");
  return graph.type_from_uid(uid);
}

}  // namespace

Result<TypePtr> pattern_to_type_recursive(Graph& graph, const TypePattern& p, const MatchPtr& m) {
  if (p.is<TypePattern::Wildcard>()) return fail(errors::InvalidPattern{"", "Cannot convert wildcard to type"});

  if (const auto* arrow = p.get<TypePattern::Arrow>()) {
    TypePtr left = VM_TRY_CTX(pattern_to_type_recursive(graph, *arrow->left, m), "graph - pattern to type recursive");
    TypePtr right = VM_TRY_CTX(pattern_to_type_recursive(graph, *arrow->right, m), "graph - pattern to type recursive");
    return typing::make_arrow(std::move(left), std::move(right));
  }

  // A variable and a capture both stand for their binding, or else for the
  // type variable of their name; a capture's inner pattern plays no part.
  const std::string& name =
      p.is<TypePattern::Variable>() ? p.get<TypePattern::Variable>()->name : p.get<TypePattern::Capture>()->name;
  if (auto bound = m->get(name)) return bound_type(graph, name, *bound);
  auto variable = VM_TRY_CTX(typing::Variable::create(name), "graph - pattern to type recursive");
  return typing::make_type(std::move(variable));
}

Result<Term> pattern_to_term_recursive(Graph& graph, const TermPattern& p, const MatchPtr& m) {
  if (p.is<TermPattern::Wildcard>()) return fail(errors::InvalidPattern{"", "Cannot convert wildcard to term"});

  if (const auto* variable = p.get<TermPattern::Variable>()) {
    auto bound = m->get(variable->name);
    // A term variable is never invented: only a binding gives it a value.
    if (!bound) return fail(errors::VariableNotFound{variable->name, "pattern to term recursive"});
    const Uid uid =
        VM_TRY_CTX(bound->as_term(variable->name, "pattern to term recursive"), "graph - pattern to term recursive");
    return graph.term_from_uid(uid);
  }

  if (const auto* application = p.get<TermPattern::Application>()) {
    Term function =
        VM_TRY_CTX(pattern_to_term_recursive(graph, *application->function, m), "graph - pattern to term recursive");
    Term argument =
        VM_TRY_CTX(pattern_to_term_recursive(graph, *application->argument, m), "graph - pattern to term recursive");
    auto applied = VM_TRY(typing::Application::create(std::move(function), std::move(argument)));
    return Term(std::move(applied));
  }

  const auto& use = *p.get<TermPattern::Constant>();
  // The table never changes, so the constant is read in place.
  const Constant* constant = graph.constants().find(use.name);
  if (!constant) return fail(errors::ConstantNotFound{use.name, positioned("pattern to term recursive")});
  TypePtr type = VM_TRY_CTX(get_constant_type(graph, *constant, use.type_arguments, m), "pattern to term recursive");
  // Built without BasicTerm::create: a use names the constant as declared,
  // whether or not that name is a valid identifier.
  return Term(typing::BasicTerm{constant->name(), std::move(type)});
}

Result<TypePtr> get_constant_type(Graph& graph, const Constant& c, const std::vector<TypeSchema>& args,
                                  const MatchPtr& m) {
  const auto& parameters = c.free_variables();
  if (args.size() != parameters.size())
    return fail(errors::InvalidNumberOfArguments{parameters.size(), args.size(), positioned("get constant type")});

  std::vector<Uid> uids(args.size());
  // Callers may hold a shard lock or a creation unit while they wait here, so
  // this thread must only run the conversions of this call meanwhile.
  Status converted = tbb::this_task_arena::isolate([&]() -> Status {
    return try_for_each_index(args.size(), [&](std::size_t i) -> Status {
      TypePtr type = VM_TRY(type_schema_to_type(graph, args[i], m));
      uids[i] = graph.insert_type(*type);
      return {};
    });
  });
  VM_TRY_CTX(std::move(converted), "get constant type");

  // The arguments bind the constant's parameters in a frame of its own, away
  // from the use's bindings.
  MatchPtr scratch = Match::create();
  for (std::size_t i = 0; i < parameters.size(); ++i)
    VM_TRY_CTX(scratch->insert(parameters[i], MatchElement::type(uids[i])), "get constant type");
  return with_context(type_schema_to_type(graph, c.type_schema(), scratch), "get constant type");
}

namespace {

// The name of the constant fitting the stored type `uid`, if any.
Result<std::optional<std::string>> fitting_constant(const Graph& graph, const Uid& uid) {
  std::optional<std::string> chosen;
  std::optional<Report> failure;
  // The table's order decides among several fitting constants: which one
  // wins is deliberately left undefined.
  for (const Constant& constant : graph.constants().list()) {
    auto checked = check_type_matches(graph, uid, constant.type_schema().pattern(), Match::create());
    if (!checked) {
      failure.emplace(std::move(checked).error().attach("graph - infer term"));
      break;
    }
    if (*checked) {
      chosen = constant.name();
      break;
    }
  }
  if (failure) return std::unexpected(std::move(*failure));
  return chosen;
}

// Whether the stored type `id` fits `pattern` when checked against an empty
// frame, for a pattern without captures: such a check reads no binding,
// binds nothing and cannot fail, so it needs no frame. None when the walk
// meets a capture.
std::optional<bool> fits_without_frame(const TypeTable& types, TypeId id, const patterns::TypePattern& pattern) {
  using patterns::TypePattern;
  if (pattern.is<TypePattern::Wildcard>()) return true;
  if (const auto* variable = pattern.get<TypePattern::Variable>())
    return types.is_variable(id) && types.variable_name(id) == variable->name;
  const auto* arrow = pattern.get<TypePattern::Arrow>();
  if (!arrow) return std::nullopt;
  if (types.is_variable(id)) return false;
  const auto left = fits_without_frame(types, types.left(id), *arrow->left);
  if (!left || !*left) return left;
  return fits_without_frame(types, types.right(id), *arrow->right);
}

}  // namespace

Result<std::optional<Term>> infer_term(const Graph& graph, const Uid& uid) {
  std::optional<std::string> chosen = VM_TRY(fitting_constant(graph, uid));
  if (!chosen) return std::nullopt;
  TypePtr type = VM_TRY_CTX(graph.type_from_uid(uid), "graph - infer term");
  auto term = VM_TRY_CTX(typing::BasicTerm::create(std::move(*chosen), std::move(type)), "graph - infer term");
  return std::optional<Term>(Term(std::move(term)));
}

Result<std::optional<std::size_t>> fitting_constant(const Graph& graph, TypeId id, bool variable) {
  // The same walk as above, by row. Which constant fits a stored type never
  // changes (the table is fixed, rows are never removed or rewritten), and
  // creations ask again and again about the types they just stored, so each
  // thread remembers its last answers. Failures are not remembered.
  struct Recent {
    std::uint64_t serial = 0;
    TypeId id = 0;
    std::uint32_t fitting = 0;  // 1 + index in the list; 0: none fits
  };
  auto& recent = thread_table<std::array<Recent, 64>>();
  Recent& slot = recent[(id * 0x9E3779B1u) >> 26];
  if (slot.serial == graph.serial() && slot.id == id) {
    if (slot.fitting == 0) return std::nullopt;
    return std::optional<std::size_t>(slot.fitting - 1);
  }
  std::optional<std::size_t> chosen;
  const auto& list = graph.constants().list();
  MatchPtr scratch;
  for (std::size_t i = 0; i < list.size(); ++i) {
    const auto& pattern = list[i].type_schema().pattern();
    // An arrow schema never fits a type variable, and that check neither
    // fails nor binds: most nodes' types are variables, and most constants
    // are functions.
    if (variable && pattern.is<patterns::TypePattern::Arrow>()) continue;
    if (const auto fits = fits_without_frame(graph.types(), id, pattern)) {
      if (!*fits) continue;
      chosen = i;
      break;
    }
    // A check binds into frames of its own above the one given: the frame
    // it gets stays empty and can serve the next constant.
    if (!scratch) scratch = Match::create();
    auto checked = check_type_matches(graph, id, pattern, scratch);
    if (!checked) return std::unexpected(std::move(checked).error().attach("graph - infer term"));
    if (*checked) {
      chosen = i;
      break;
    }
  }
  slot = {graph.serial(), id, chosen ? static_cast<std::uint32_t>(*chosen + 1) : 0u};
  return chosen;
}

Result<std::optional<Term>> infer_term(const Graph& graph, TypeId id, const TypePtr& type) {
  const std::optional<std::size_t> chosen = VM_TRY(fitting_constant(graph, id, type->as_variable() != nullptr));
  if (!chosen) return std::nullopt;
  const Constant& constant = graph.constants().list()[*chosen];
  if (graph.constants().has_valid_name(*chosen))
    return std::optional<Term>(Term(typing::BasicTerm{constant.name(), type}));
  auto term = VM_TRY_CTX(typing::BasicTerm::create(constant.name(), type), "graph - infer term");
  return std::optional<Term>(Term(std::move(term)));
}

}  // namespace velmora::graph
