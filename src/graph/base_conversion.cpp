// Schema conversion (type and term schemas into concrete values under a match
// frame) and term inference from the graph's constants.
#include <fmt/format.h>
#include <tbb/task_arena.h>

#include <source_location>
#include <utility>
#include <vector>

#include "graph/base.hpp"
#include "utils/parallel.hpp"

namespace velmora::graph {

using patterns::TermPattern;
using patterns::TermSchema;
using patterns::TypePattern;
using patterns::TypeSchema;

namespace {

// "text [src/path:line]" for the call site: the form that a few raising sites
// put into an error's own context field.
std::string positioned(std::string_view text, std::source_location where = std::source_location::current()) {
  return fmt::format("{} [{}]", text, source_position(where));
}

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

Result<TypePtr> Graph::type_schema_to_type(const TypeSchema& schema, const MatchPtr& m) {
  auto type = pattern_to_type_recursive(schema.pattern(), m);
  if (!type) {
    Report report = rename_invalid_pattern(std::move(type).error(), schema.schema());
    report.attach("graph - type schema to type");
    return std::unexpected(std::move(report));
  }
  return type;
}

Result<Term> Graph::term_schema_to_term(const TermSchema& schema, const MatchPtr& m) {
  auto term = pattern_to_term_recursive(schema.pattern(), m);
  if (!term) {
    Report report = rename_invalid_pattern(std::move(term).error(), schema.schema());
    report.attach("graph - term schema to term");
    return std::unexpected(std::move(report));
  }
  return term;
}

Result<TypePtr> Graph::bound_type(const std::string& name, const MatchElement& element) {
  const Uid uid = VM_TRY_CTX(element.as_type(name, "pattern to type recursive"), "graph - pattern to type recursive");
  return type_from_uid(uid);
}

Result<TypePtr> Graph::pattern_to_type_recursive(const TypePattern& p, const MatchPtr& m) {
  if (p.is<TypePattern::Wildcard>())
    return fail(errors::InvalidPattern{"", "Cannot convert wildcard to type"});

  if (const auto* arrow = p.get<TypePattern::Arrow>()) {
    TypePtr left = VM_TRY_CTX(pattern_to_type_recursive(*arrow->left, m), "graph - pattern to type recursive");
    TypePtr right = VM_TRY_CTX(pattern_to_type_recursive(*arrow->right, m), "graph - pattern to type recursive");
    return typing::make_arrow(std::move(left), std::move(right));
  }

  // A variable and a capture both stand for their binding, or else for the
  // type variable of their name; a capture's inner pattern plays no part.
  const std::string& name = p.is<TypePattern::Variable>() ? p.get<TypePattern::Variable>()->name
                                                          : p.get<TypePattern::Capture>()->name;
  if (auto bound = m->get(name)) return bound_type(name, *bound);
  auto variable = VM_TRY_CTX(typing::Variable::create(name), "graph - pattern to type recursive");
  return typing::make_type(std::move(variable));
}

Result<Term> Graph::pattern_to_term_recursive(const TermPattern& p, const MatchPtr& m) {
  if (p.is<TermPattern::Wildcard>())
    return fail(errors::InvalidPattern{"", "Cannot convert wildcard to term"});

  if (const auto* variable = p.get<TermPattern::Variable>()) {
    auto bound = m->get(variable->name);
    // A term variable is never invented: only a binding gives it a value.
    if (!bound) return fail(errors::VariableNotFound{variable->name, "pattern to term recursive"});
    const Uid uid = VM_TRY_CTX(bound->as_term(variable->name, "pattern to term recursive"),
                               "graph - pattern to term recursive");
    return term_from_uid(uid);
  }

  if (const auto* application = p.get<TermPattern::Application>()) {
    Term function = VM_TRY_CTX(pattern_to_term_recursive(*application->function, m),
                               "graph - pattern to term recursive");
    Term argument = VM_TRY_CTX(pattern_to_term_recursive(*application->argument, m),
                               "graph - pattern to term recursive");
    auto applied = VM_TRY(typing::Application::create(std::move(function), std::move(argument)));
    return Term(std::move(applied));
  }

  const auto& use = *p.get<TermPattern::Constant>();
  // A copy, so that the constants row is unlocked while the type is built.
  const std::optional<Constant> constant = constants->get(use.name);
  if (!constant) return fail(errors::ConstantNotFound{use.name, positioned("pattern to term recursive")});
  TypePtr type = VM_TRY_CTX(get_constant_type(*constant, use.type_arguments, m), "pattern to term recursive");
  // Built without BasicTerm::create: a use names the constant as declared,
  // whether or not that name is a valid identifier.
  return Term(typing::BasicTerm{constant->name(), std::move(type)});
}

Result<TypePtr> Graph::get_constant_type(const Constant& c, const std::vector<TypeSchema>& args,
                                         const MatchPtr& m) {
  const auto& parameters = c.free_variables();
  if (args.size() != parameters.size())
    return fail(errors::InvalidNumberOfArguments{parameters.size(), args.size(), positioned("get constant type")});

  std::vector<Uid> uids(args.size());
  // Callers may hold a shard lock or a creation unit while they wait here, so
  // this thread must only run the conversions of this call meanwhile.
  Status converted = tbb::this_task_arena::isolate([&]() -> Status {
    return utils::try_for_each_index(args.size(), [&](std::size_t i) -> Status {
      TypePtr type = VM_TRY(type_schema_to_type(args[i], m));
      uids[i] = insert_type(*type);
      return {};
    });
  });
  VM_TRY_CTX(std::move(converted), "get constant type");

  // The arguments bind the constant's parameters in a frame of its own, away
  // from the use's bindings.
  MatchPtr scratch = Match::create();
  for (std::size_t i = 0; i < parameters.size(); ++i)
    VM_TRY_CTX(scratch->insert(parameters[i], MatchElement::type(uids[i])), "get constant type");
  return with_context(type_schema_to_type(c.type_schema(), scratch), "get constant type");
}

Result<std::optional<Term>> Graph::infer_term(const Uid& uid) const {
  std::optional<std::string> chosen;
  std::optional<Report> failure;
  // The map's own order decides among several fitting constants: which one
  // wins is deliberately left undefined.
  constants->for_each_shard([&](const auto& table) {
    for (const auto& [name, constant] : table) {
      if (chosen || failure) return;
      auto checked = check_type_matches(uid, constant.type_schema().pattern(), Match::create());
      if (!checked) {
        failure.emplace(std::move(checked).error().attach("graph - infer term"));
        return;
      }
      if (*checked) chosen = constant.name();
    }
  });
  if (failure) return std::unexpected(std::move(*failure));
  if (!chosen) return std::nullopt;

  TypePtr type = VM_TRY_CTX(type_from_uid(uid), "graph - infer term");
  auto term = VM_TRY_CTX(typing::BasicTerm::create(std::move(*chosen), std::move(type)), "graph - infer term");
  return std::optional<Term>(Term(std::move(term)));
}

}  // namespace velmora::graph
