#include "query/base.hpp"

#include <fmt/format.h>

#include <tbb/task_group.h>

#include <algorithm>
#include <memory>
#include <mutex>

#include "binding/args.hpp"
#include "binding/guard.hpp"
#include "binding/values.hpp"
#include "graph/matches/matching.hpp"
#include "parallel.hpp"
#include "query/references/base.hpp"

namespace velmora::query {

std::string operation_text(const QueryOperation& operation) {
  return std::visit(
      [](const auto& op) -> std::string {
        using Op = std::decay_t<decltype(op)>;
        if constexpr (std::is_same_v<Op, CreateOperation>)
          return "CREATE " + op.pattern->pattern();
        else if constexpr (std::is_same_v<Op, MatchOperation>)
          return "MATCH " + op.pattern->pattern();
        else if constexpr (std::is_same_v<Op, RemoveOperation>)
          return fmt::format("REMOVE {}", fmt::join(op.variables, ", "));
        else if constexpr (std::is_same_v<Op, SetOperation>)
          return fmt::format("SET {} {} {}", op.variable, op.overwrite ? "=" : "+=", op.properties.to_string());
        else
          return fmt::format("LIMIT {}", op.limit);
      },
      operation);
}

// One operation and the list before it. A long list is freed node by node
// from the end: left to the handles alone, each node would free its parent
// from inside its own destructor, one stack frame per operation.
struct OperationList::Node {
  QueryOperation op;
  std::shared_ptr<const Node> parent;

  ~Node() {
    std::shared_ptr<const Node> next = std::move(parent);
    // Only the last handle to a node may take its parent away.
    while (next && next.use_count() == 1) {
      std::shared_ptr<const Node> after = std::move(const_cast<Node&>(*next).parent);
      next = std::move(after);
    }
  }
};

OperationList OperationList::push(QueryOperation op) const {
  OperationList out;
  out.last_ = std::make_shared<Node>(std::move(op), last_);
  out.size_ = size_ + 1;
  return out;
}

std::vector<const QueryOperation*> OperationList::in_order() const {
  std::vector<const QueryOperation*> out(size_);
  std::size_t i = size_;
  for (const Node* node = last_.get(); node != nullptr; node = node->parent.get()) out[--i] = &node->op;
  return out;
}

std::span<const QueryOperation* const> OperationList::in_order(std::span<const QueryOperation*> room,
                                                               std::vector<const QueryOperation*>& spill) const {
  if (size_ > room.size()) {
    spill = in_order();
    return spill;
  }
  std::size_t i = size_;
  for (const Node* node = last_.get(); node != nullptr; node = node->parent.get()) room[--i] = &node->op;
  return room.first(size_);
}

std::string Query::text() const {
  std::string out;
  for (const QueryOperation* op : operations.in_order()) {
    out += operation_text(*op);
    out += '\n';
  }
  return out;
}

// ---- execution -------------------------------------------------------------------

namespace {

// The set rule, for one match.
Status set_one(const Query& q, const SetOperation& op, const MatchPtr& m) {
  auto element = m->get(op.variable);
  if (!element) return fail(errors::VariableNotFound{op.variable, "execute set"});
  switch (element->kind()) {
    case MatchElement::Kind::Type:
    case MatchElement::Kind::Term:
      return fail(errors::InvalidQuery{
          q.text(), "You cannot set the properties of a type, types do not have properties", "execute set"});
    case MatchElement::Kind::Node:
      return with_context(q.graph->set_node_properties(element->uid(), op.properties, op.overwrite),
                          "query - execute set");
    case MatchElement::Kind::Edge: break;
  }
  return with_context(q.graph->set_edge_properties(element->edge_key(), op.properties, op.overwrite),
                      "query - execute set");
}

// The remove rule, for one match and one name; the binding stays in place.
Status remove_one(const Query& q, const std::string& name, const MatchPtr& m) {
  auto element = m->get(name);
  if (!element) return fail(errors::VariableNotFound{name, "execute remove"});
  switch (element->kind()) {
    case MatchElement::Kind::Type:
      return fail(errors::InvalidQuery{q.text(), "You cannot remove types from the graph", "execute remove"});
    case MatchElement::Kind::Term:
      return fail(errors::InvalidQuery{q.text(), "You cannot remove terms from the graph", "execute remove"});
    case MatchElement::Kind::Node:
      // A view's remove only takes the node out of the view.
      if (q.subset) {
        q.subset->erase(element->uid());
        return {};
      }
      if (auto removed = q.graph->remove_node(element->uid()); !removed)
        return std::unexpected(std::move(removed).error());
      return {};
    case MatchElement::Kind::Edge: break;
  }
  auto removed = q.graph->remove_edge(element->edge_key());
  if (!removed) return std::unexpected(std::move(removed).error());
  return {};
}

}  // namespace

Result<MatchSet> Query::execute_operations(bool keep_matches) const {
  // A query is a few operations: their list is gathered on the stack.
  const QueryOperation* room[8];
  std::vector<const QueryOperation*> spill;
  const auto recorded_list = operations.in_order(room, spill);
  // A lone create whose matches nobody reads starts from no set: the store
  // may then make its path without match frames (see Graph::create_root_path).
  const bool lone_create =
      !keep_matches && recorded_list.size() == 1 && std::holds_alternative<CreateOperation>(*recorded_list[0]);
  MatchSet current = lone_create ? MatchSet() : root_match_set();
  for (const QueryOperation* recorded : recorded_list) {
    const QueryOperation& operation = *recorded;
    if (const auto* op = std::get_if<MatchOperation>(&operation)) {
      auto next = graph::match_path_pattern(*graph, *op->pattern, std::move(current), subset);
      if (!next)
        return std::unexpected(std::move(next)
                                   .error()
                                   .attach(fmt::format("query - execute match - {}", op->pattern->pattern()))
                                   .attach(fmt::format("query - execute operation - {}", text())));
      current = std::move(*next);
    } else if (const auto* op = std::get_if<CreateOperation>(&operation)) {
      auto next = current ? graph::create_path(*graph, *op->pattern, std::move(current), subset)
                          : graph::create_root_path(*graph, *op->pattern, subset, op->known);
      if (!next)
        return std::unexpected(std::move(next)
                                   .error()
                                   .attach(fmt::format("query - execute create - {}", op->pattern->pattern()))
                                   .attach(fmt::format("query - execute operation - {}", text())));
      current = std::move(*next);
    } else if (const auto* op = std::get_if<LimitOperation>(&operation)) {
      // Only the entry's own frame gets a counter, and only if it has none.
      current->for_each_shard_parallel([&](const auto& table) {
        for (const auto& [id, entry] : table) entry.match->set_counter(op->limit);
      });
    } else if (const auto* op = std::get_if<SetOperation>(&operation)) {
      auto status = try_for_each_entry(
          *current, [&](std::uint64_t, const MatchEntry& entry) { return set_one(*this, *op, entry.match); });
      if (!status)
        return std::unexpected(std::move(status)
                                   .error()
                                   .attach(fmt::format("query - execute set - {} {} {}", op->variable,
                                                       op->overwrite ? "=" : "+=", op->properties.to_string()))
                                   .attach(fmt::format("query - execute operation - {}", text())));
    } else if (const auto* op = std::get_if<RemoveOperation>(&operation)) {
      for (const auto& name : op->variables) {
        auto status = try_for_each_entry(
            *current, [&](std::uint64_t, const MatchEntry& entry) { return remove_one(*this, name, entry.match); });
        if (!status)
          return std::unexpected(std::move(status)
                                     .error()
                                     .attach(fmt::format("query - execute remove - {}", fmt::join(op->variables, ", ")))
                                     .attach(fmt::format("query - execute operation - {}", text())));
        // Matches sharing the frame that holds the binding race for it; one wins.
        current->for_each_shard_parallel([&](const auto& table) {
          for (const auto& [id, entry] : table) entry.match->remove(name);
        });
      }
    }
  }
  return current;
}

// ---- the Python class Query -----------------------------------------------------------

namespace {

using binding::PyErr;
using binding::PyRef;
using binding::PyResult;

Query& self_query(PyObject* self) { return binding::unbox<Query>(self); }

using binding::raise_error;

// Appends `op` to the receiver and returns a new query with a copy of the
// list (a shared handle: the lists part with their next operations).
PyObject* record(Query& q, QueryOperation op) {
  q.operations = q.operations.push(std::move(op));
  return binding::into_ptr(binding::new_instance(query_class(), Query{q.graph, q.operations, q.subset}));
}

PyObject* record_path(PyObject* self, PyObject* args, PyObject* kwargs, bool create, const char* line) {
  // Built once: the description owns a list of names.
  static const binding::FunctionDescription create_desc{"Query", "create", {"pattern"}, 1, false};
  static const binding::FunctionDescription match_desc{"Query", "match", {"pattern"}, 1, false};
  const binding::FunctionDescription& desc = create ? create_desc : match_desc;
  PyObject* arg[1];
  VM_PY_TRY(binding::extract_arguments(desc, args, kwargs, arg));
  Query& q = self_query(self);
  const auto held = VM_PY_TRY(binding::borrow(q.borrowed));
  auto text = VM_PY_TRY(binding::argument("pattern", binding::extract_str(arg[0])));
  auto pattern = VM_PY_TRY(with_context(patterns::PathPattern::create_shared(std::move(text)), line));
  if (create) {
    // The path's names are looked up now, so that their rows are at hand
    // when the query runs.
    auto known = graph::prefetch_path_variables(*q.graph, *pattern);
    return record(q, CreateOperation{std::move(pattern), known});
  }
  return record(q, MatchOperation{std::move(pattern)});
}

PyObject* query_create(PyObject* self, PyObject* args, PyObject* kwargs) {
  return binding::guard([&] { return record_path(self, args, kwargs, true, "query - create"); });
}

PyObject* query_match(PyObject* self, PyObject* args, PyObject* kwargs) {
  return binding::guard([&] { return record_path(self, args, kwargs, false, "query - match"); });
}

// The positional arguments as names; a non-str names the argument `variables`.
PyResult<std::vector<std::string>> variables_of(const PyRef& rest) {
  return binding::argument("variables", binding::extract_str_vec(rest.get()));
}

PyObject* query_remove(PyObject* self, PyObject* args, PyObject* kwargs) {
  return binding::guard([&]() -> PyObject* {
    static const binding::FunctionDescription desc{"Query", "remove", {}, 0, true};
    PyRef rest;
    VM_PY_TRY(binding::extract_arguments(desc, args, kwargs, {}, &rest));
    Query& q = self_query(self);
    const auto held = VM_PY_TRY(binding::borrow(q.borrowed));
    auto names = VM_PY_TRY(variables_of(rest));
    return record(q, RemoveOperation{std::move(names)});
  });
}

PyObject* query_set(PyObject* self, PyObject* args, PyObject* kwargs) {
  return binding::guard([&]() -> PyObject* {
    static const binding::FunctionDescription desc{"Query", "set", {"variable", "properties", "overwrite"}, 2, false};
    PyObject* arg[3];
    VM_PY_TRY(binding::extract_arguments(desc, args, kwargs, arg));
    Query& q = self_query(self);
    const auto held = VM_PY_TRY(binding::borrow(q.borrowed));
    auto variable = VM_PY_TRY(binding::argument("variable", binding::extract_str(arg[0])));
    bool overwrite = true;
    if (arg[2]) overwrite = VM_PY_TRY(binding::argument("overwrite", binding::extract_bool(arg[2])));
    auto properties = VM_PY_TRY(with_context(binding::property_map_from_py(arg[1]), "query - set"));
    return record(q, SetOperation{overwrite, std::move(properties), std::move(variable)});
  });
}

PyObject* query_limit(PyObject* self, PyObject* args, PyObject* kwargs) {
  return binding::guard([&]() -> PyObject* {
    static const binding::FunctionDescription desc{"Query", "limit", {"limit"}, 1, false};
    PyObject* arg[1];
    VM_PY_TRY(binding::extract_arguments(desc, args, kwargs, arg));
    Query& q = self_query(self);
    const auto held = VM_PY_TRY(binding::borrow(q.borrowed));
    // Through the index protocol to a C long, then into 32 unsigned bits.
    PyRef index = PyRef::steal(PyNumber_Index(arg[0]));
    if (!index) return raise_error(binding::argument_error("limit", PyErr::fetch()));
    const long value = PyLong_AsLong(index.get());
    if (value == -1 && PyErr_Occurred()) return raise_error(binding::argument_error("limit", PyErr::fetch()));
    if (value < 0 || value > static_cast<long>(UINT32_MAX))
      return raise_error(PyErr::make(PyExc_OverflowError, "out of range integral type conversion attempted"));
    return record(q, LimitOperation{static_cast<std::uint32_t>(value)});
  });
}

PyObject* query_execute(PyObject* self, PyObject*) {
  return binding::guard([&]() -> PyObject* {
    Query& q = self_query(self);
    const auto held = VM_PY_TRY(binding::borrow(q.borrowed));
    auto set = VM_PY_TRY(with_context(q.execute_operations(false), "query - execute"));
    release_in_background(std::move(set));
    Py_RETURN_NONE;
  });
}

// The cells of every row, in the set's order: cells[row * names.size() + j]
// is the binding of names[j] in that row's match, pointing into its frame.
// Gathered on the pool, which also takes the page faults of the fresh buffer
// (left unset until then); the first name found unbound fails.
Result<std::unique_ptr<const StoredElement* []>> collect_cells(const MatchSetMap& set,
                                                               const std::vector<std::string>& names) {
  auto cells = std::make_unique_for_overwrite<const StoredElement*[]>(set.size() * names.size());
  tbb::task_group_context ctx;
  FirstError first;
  set.for_each_run_parallel(
      [&](std::size_t offset, MatchSetMap::Table run) {
        const StoredElement** out = cells.get() + offset * names.size();
        for (const auto& entry : run) {
          if (ctx.is_group_execution_cancelled()) return;
          for (const auto& name : names) {
            const StoredElement* element = entry.second.match->find(name);
            if (!element) {
              first.set(
                  fail(errors::VariableNotFound{name, "query return - data collection [src/query/base:377]"}).error(),
                  ctx);
              return;
            }
            *out++ = element;
          }
        }
      },
      ctx);
  VM_TRY(first.take());
  return cells;
}

// Makes the Python references of one `return_` call, which all share one
// store handle.
class ReferenceMaker {
 public:
  explicit ReferenceMaker(references::StoreHandle graph) : graph_(std::move(graph)) {}

  // A new reference, or null with the Python error set.
  PyObject* make(const StoredElement& element) const {
    using references::HeldUid;
    const graph::Graph& store = *graph_.ptr();
    switch (element.kind()) {
      case MatchElement::Kind::Type:
        return references::new_type(graph_, HeldUid::of(store, element.uid(), element.row_uid()));
      case MatchElement::Kind::Term:
        return references::new_term(graph_, HeldUid::of(store, element.uid(), element.row_uid()));
      case MatchElement::Kind::Node:
        return references::new_node(graph_, HeldUid::of(store, element.uid(), element.row_uid()));
      case MatchElement::Kind::Edge: break;
    }
    const EdgeKey key = element.edge_key();
    return references::new_edge(graph_, HeldUid::of(store, key.first, element.row_uid()),
                                HeldUid::of(store, key.second, element.row_end()));
  }

 private:
  references::StoreHandle graph_;
};

PyObject* query_return(PyObject* self, PyObject* args, PyObject* kwargs) {
  return binding::guard([&]() -> PyObject* {
    static const binding::FunctionDescription desc{"Query", "return_", {}, 0, true};
    PyRef rest;
    VM_PY_TRY(binding::extract_arguments(desc, args, kwargs, {}, &rest));
    auto names = VM_PY_TRY(variables_of(rest));
    Query& q = self_query(self);
    const auto held = VM_PY_TRY(binding::borrow(q.borrowed));
    // A name asked twice is one key, at its first place.
    std::vector<std::string> keys;
    for (auto& name : names)
      if (std::find(keys.begin(), keys.end(), name) == keys.end()) keys.push_back(std::move(name));
    auto set = VM_PY_TRY(with_context(q.execute_operations(), "query - return"));
    // The frames the cells point into die with the set, handed to the pool
    // once the rows are built (or on the way out of a failure).
    struct Release {
      MatchSet& set;
      ~Release() { release_in_background(std::move(set)); }
    } release{set};
    auto cells = VM_PY_TRY(collect_cells(*set, keys));

    // Python objects only from here, on the caller's thread.
    std::vector<PyRef> key_objects;
    for (const auto& key : keys) key_objects.push_back(VM_PY_TRY(binding::utf8_to_str(key)));
    const std::size_t width = keys.size();
    const std::size_t rows = set->size();
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(rows)));
    if (!list) return nullptr;
    ReferenceMaker maker(VM_PY_TRY(references::StoreHandle::of(q.graph)));
    // The frames lie scattered over the heap: ask for rows a little ahead.
    constexpr std::size_t kAhead = 8;
    for (std::size_t row = 0; row < rows; ++row) {
      if (row + kAhead < rows)
        for (std::size_t j = 0; j < width; ++j) __builtin_prefetch(cells[(row + kAhead) * width + j]);
      PyObject* dict = PyDict_New();
      if (!dict) return nullptr;
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(row), dict);  // the list owns it from here
      for (std::size_t j = 0; j < width; ++j) {
        PyObject* value = maker.make(*cells[row * width + j]);
        if (!value) return nullptr;
        const int stored = PyDict_SetItem(dict, key_objects[j].get(), value);
        Py_DECREF(value);
        if (stored < 0) return nullptr;
      }
    }
    return list.release();
  });
}

PyObject* query_str(PyObject* self) {
  return binding::guard(
      [&]() -> PyObject* { return binding::into_ptr(binding::utf8_to_str(self_query(self).text())); });
}

PyMethodDef kMethods[] = {
    {"create", binding::with_keywords(&query_create), METH_VARARGS | METH_KEYWORDS, "create($self, pattern)\n--\n\n"},
    {"match", binding::with_keywords(&query_match), METH_VARARGS | METH_KEYWORDS, "match($self, pattern)\n--\n\n"},
    {"remove", binding::with_keywords(&query_remove), METH_VARARGS | METH_KEYWORDS,
     "remove($self, *variables)\n--\n\n"},
    {"set", binding::with_keywords(&query_set), METH_VARARGS | METH_KEYWORDS,
     "set($self, variable, properties, overwrite=True)\n--\n\n"},
    {"execute", query_execute, METH_NOARGS, "execute($self)\n--\n\n"},
    {"return_", binding::with_keywords(&query_return), METH_VARARGS | METH_KEYWORDS,
     "return_($self, *variables)\n--\n\n"},
    {"limit", binding::with_keywords(&query_limit), METH_VARARGS | METH_KEYWORDS, "limit($self, limit)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

binding::ClassSpec& query_class() {
  static binding::ClassSpec spec{"builtins.Query",
                                 "",
                                 sizeof(binding::Boxed<Query>),
                                 &binding::dealloc_boxed<Query>,
                                 kMethods,
                                 nullptr,
                                 {{Py_tp_str, reinterpret_cast<void*>(&query_str)}}};
  return spec;
}

binding::PyResult<binding::PyRef> new_query(graph::GraphPtr graph, graph::NodeUidSetPtr subset) {
  return binding::new_instance(query_class(), Query{std::move(graph), {}, std::move(subset)});
}

}  // namespace velmora::query
