// Schema matching: whether a stored type fits a type pattern, or the term
// stored for a type fits a term pattern, binding the pattern's captures and
// term variables as it goes; and the scans that run those checks for every
// match of a set against every stored type or term.
//
// A check returns the frame holding every binding it made (the given frame
// itself when it bound nothing; a constant use always returns a new frame),
// or none when the row does not fit. Errors carry the lines
// "graph - check type matches" / "graph - match term pattern" per level, and
// the scans "graph - match type pattern" / "graph - match type schema" (and
// their term counterparts); TypeNotFound / TermNotFound when the row asked
// for is not stored; VariableAlreadyExists when a capture is bound already;
// ContextConflict when a name is bound to an element of another kind;
// ConstantNotFound for a use of a constant the store does not have.
//
// Threads: any thread, the pool's included; type rows and terms are read
// without locks. The scans run on the pool and stop at their first error.
#pragma once

#include <optional>

#include "errors.hpp"
#include "graph/store.hpp"
#include "matches.hpp"
#include "patterns/term_schema.hpp"
#include "patterns/type_schema.hpp"

namespace velmora::graph {

// The stored type `uid` (TypeNotFound when it is not stored), or the stored
// row `id` (which must exist), against `pattern` under the bindings of `m`.
Result<std::optional<MatchPtr>> check_type_matches(const Graph& graph, const Uid& uid,
                                                   const patterns::TypePattern& pattern, MatchPtr m);
Result<std::optional<MatchPtr>> check_type_matches(const Graph& graph, TypeId id, const patterns::TypePattern& pattern,
                                                   MatchPtr m);
// The term stored under the type uid `uid` against `pattern`.
Result<std::optional<MatchPtr>> check_term_matches(const Graph& graph, const Uid& uid,
                                                   const patterns::TermPattern& pattern, MatchPtr m);
// The row of the one type that `pattern` can match under the bindings of `m`
// (a ground pattern: names and arrows, each unbound name a type variable and
// each name bound to a type that type), empty when that type is not stored;
// that row's check passes without binding. None when the pattern can match
// more than one type, or its check fails on some rows and not on others (a
// wildcard, a capture, a name bound to something other than a type).
std::optional<std::optional<TypeId>> ground_type_row(const Graph& graph, const patterns::TypePattern& pattern,
                                                     const Match& m);

// Every match of `matches` against every stored type (term): a new set of an
// entry {the type's uid, the check's frame} per fitting row. A ground schema
// is looked up instead of scanned, with the same matches and errors.
Result<MatchSet> match_type_schema(const Graph& graph, const patterns::TypeSchema& schema, const MatchSet& matches);
Result<MatchSet> match_term_schema(const Graph& graph, const patterns::TermSchema& schema, const MatchSet& matches);

}  // namespace velmora::graph
