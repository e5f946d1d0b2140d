// Schema evaluation over the store: concrete types and terms made from a
// pattern's schemas under a match frame's bindings, and the inference of a
// stored type's term from the graph's constants.
//
// Conversion stores what it makes (the types a constant use is applied to)
// and fails, with the line "graph - type schema to type" or
// "graph - term schema to term" on top of the recursive steps' lines:
// InvalidPattern for a wildcard (naming the whole schema), VariableNotFound
// for an unbound term variable, ContextConflict for a name bound to an
// element of another kind, ConstantNotFound and InvalidNumberOfArguments for
// a constant use, and the failures of the type and term constructors.
// Inference fails only where checking a constant's schema fails ("graph -
// infer term").
//
// Threads: any thread; constant uses convert their arguments on the pool,
// isolated, so a caller may hold a shard lock or a creation unit meanwhile.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "constants.hpp"
#include "errors.hpp"
#include "graph/store.hpp"
#include "matches.hpp"
#include "patterns/term_schema.hpp"
#include "patterns/type_schema.hpp"

namespace velmora::graph {

Result<TypePtr> type_schema_to_type(Graph& graph, const patterns::TypeSchema& schema, const MatchPtr& m);
Result<Term> term_schema_to_term(Graph& graph, const patterns::TermSchema& schema, const MatchPtr& m);
// The recursive steps of the two above: each level adds its own line.
Result<TypePtr> pattern_to_type_recursive(Graph& graph, const patterns::TypePattern& p, const MatchPtr& m);
Result<Term> pattern_to_term_recursive(Graph& graph, const patterns::TermPattern& p, const MatchPtr& m);
// The type of a use of the constant `c` with the type arguments `args`,
// converted under `m` and bound to the constant's parameters in a frame of
// their own.
Result<TypePtr> get_constant_type(Graph& graph, const Constant& c, const std::vector<patterns::TypeSchema>& args,
                                  const MatchPtr& m);

// A basic term named after a constant whose schema matches the stored type
// `uid`; none when no constant fits. The table's order decides among several
// fitting constants.
Result<std::optional<Term>> infer_term(const Graph& graph, const Uid& uid);
// The same when the caller holds the stored type itself (`type` is the type
// stored as row `id`), which saves rebuilding it from its rows.
Result<std::optional<Term>> infer_term(const Graph& graph, TypeId id, const TypePtr& type);
// The index in the constants' list of the constant fitting the stored row
// `id`, told whether the row is a variable; none when none fits. Each thread
// remembers its last answers per store: which constant fits a type never
// changes.
Result<std::optional<std::size_t>> fitting_constant(const Graph& graph, TypeId id, bool variable);

}  // namespace velmora::graph
