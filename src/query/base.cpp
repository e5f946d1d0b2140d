#include "query/base.hpp"

#include <fmt/format.h>

#include <mutex>

#include "binding/args.hpp"
#include "binding/guard.hpp"
#include "query/references/base.hpp"
#include "utils/parallel.hpp"

namespace velmora::query {

std::string operation_text(const QueryOperation& operation) {
  return std::visit(
      [](const auto& op) -> std::string {
        using Op = std::decay_t<decltype(op)>;
        if constexpr (std::is_same_v<Op, CreateOperation>) return "CREATE " + op.pattern.pattern();
        else if constexpr (std::is_same_v<Op, MatchOperation>) return "MATCH " + op.pattern.pattern();
        else if constexpr (std::is_same_v<Op, RemoveOperation>) return fmt::format("REMOVE {}", fmt::join(op.variables, ", "));
        else if constexpr (std::is_same_v<Op, SetOperation>)
          return fmt::format("SET {} {} {}", op.variable, op.overwrite ? "=" : "+=", op.properties.to_string());
        else return fmt::format("LIMIT {}", op.limit);
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

MatchSet root_match_set() {
  MatchSet set = new_match_set();
  set->insert(0, MatchEntry{Uid{}, Match::create()});
  return set;
}

// The set rule, for one match.
Status set_one(const Query& q, const SetOperation& op, const MatchPtr& m) {
  auto element = m->get(op.variable);
  if (!element) return fail(errors::VariableNotFound{op.variable, "execute set"});
  switch (element->kind()) {
    case MatchElement::Kind::Type:
    case MatchElement::Kind::Term:
      return fail(errors::InvalidQuery{q.text(), "You cannot set the properties of a type, types do not have properties",
                                       "execute set"});
    case MatchElement::Kind::Node:
      return with_context(q.graph->set_node_properties(element->uid(), op.properties, op.overwrite),
                          "query - execute set");
    case MatchElement::Kind::Edge:
      break;
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
    case MatchElement::Kind::Edge:
      break;
  }
  auto removed = q.graph->remove_edge(element->edge_key());
  if (!removed) return std::unexpected(std::move(removed).error());
  return {};
}

}  // namespace

Result<MatchSet> Query::execute_operations() const {
  MatchSet current = root_match_set();
  for (const QueryOperation* recorded : operations.in_order()) {
    const QueryOperation& operation = *recorded;
    if (const auto* op = std::get_if<MatchOperation>(&operation)) {
      auto next = graph->match_path_pattern(op->pattern, current, subset);
      if (!next)
        return std::unexpected(std::move(next).error()
                                   .attach(fmt::format("query - execute match - {}", op->pattern.pattern()))
                                   .attach(fmt::format("query - execute operation - {}", text())));
      current = std::move(*next);
    } else if (const auto* op = std::get_if<CreateOperation>(&operation)) {
      auto next = graph->create_path(op->pattern, current, subset);
      if (!next)
        return std::unexpected(std::move(next).error()
                                   .attach(fmt::format("query - execute create - {}", op->pattern.pattern()))
                                   .attach(fmt::format("query - execute operation - {}", text())));
      current = std::move(*next);
    } else if (const auto* op = std::get_if<LimitOperation>(&operation)) {
      // Only the entry's own frame gets a counter, and only if it has none.
      current->for_each_shard_parallel([&](const auto& table) {
        for (const auto& [id, entry] : table) entry.match->set_counter(op->limit);
      });
    } else if (const auto* op = std::get_if<SetOperation>(&operation)) {
      auto status = utils::try_for_each_entry(*current, [&](std::uint64_t, const MatchEntry& entry) {
        return set_one(*this, *op, entry.match);
      });
      if (!status)
        return std::unexpected(
            std::move(status).error()
                .attach(fmt::format("query - execute set - {} {} {}", op->variable, op->overwrite ? "=" : "+=",
                                    op->properties.to_string()))
                .attach(fmt::format("query - execute operation - {}", text())));
    } else if (const auto* op = std::get_if<RemoveOperation>(&operation)) {
      for (const auto& name : op->variables) {
        auto status = utils::try_for_each_entry(*current, [&](std::uint64_t, const MatchEntry& entry) {
          return remove_one(*this, name, entry.match);
        });
        if (!status)
          return std::unexpected(
              std::move(status).error()
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

PyObject* record_path(PyObject* self, PyObject* args, PyObject* kwargs, const char* method, const char* line) {
  const binding::FunctionDescription desc{"Query", method, {"pattern"}, 1, false};
  PyObject* arg[1];
  VM_PY_TRY(binding::extract_arguments(desc, args, kwargs, arg));
  Query& q = self_query(self);
  const auto held = VM_PY_TRY(binding::borrow(q.borrowed));
  auto text = VM_PY_TRY(binding::argument("pattern", binding::extract_str(arg[0])));
  auto pattern = VM_PY_TRY(with_context(patterns::PathPattern::create(std::move(text)), line));
  if (std::string_view(method) == "create") return record(q, CreateOperation{std::move(pattern)});
  return record(q, MatchOperation{std::move(pattern)});
}

PyObject* query_create(PyObject* self, PyObject* args, PyObject* kwargs) {
  return binding::guard([&] { return record_path(self, args, kwargs, "create", "query - create"); });
}

PyObject* query_match(PyObject* self, PyObject* args, PyObject* kwargs) {
  return binding::guard([&] { return record_path(self, args, kwargs, "match", "query - match"); });
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
    auto properties = VM_PY_TRY(with_context(PropertyMap::from_py(arg[1]), "query - set"));
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
    VM_PY_TRY(with_context(q.execute_operations(), "query - execute"));
    Py_RETURN_NONE;
  });
}

using Row = std::vector<std::pair<std::string, references::Reference>>;

// One row of references per final match, built on the pool.
Result<std::vector<Row>> collect_rows(const Query& q, const MatchSet& set, const std::vector<std::string>& names) {
  std::mutex mutex;
  std::vector<Row> rows;
  auto status = utils::try_for_each_entry(*set, [&](std::uint64_t, const MatchEntry& entry) -> Status {
    Row row;
    for (const auto& name : names) {
      auto element = entry.match->get(name);
      if (!element)
        return fail(errors::VariableNotFound{name, "query return - data collection [src/query/base:377]"});
      const bool seen = std::any_of(row.begin(), row.end(), [&](const auto& cell) { return cell.first == name; });
      if (!seen) row.emplace_back(name, references::reference_from_element(q.graph, *element));
    }
    std::lock_guard lock(mutex);
    rows.push_back(std::move(row));
    return {};
  });
  if (!status) return std::unexpected(std::move(status).error());
  return rows;
}

PyObject* query_return(PyObject* self, PyObject* args, PyObject* kwargs) {
  return binding::guard([&]() -> PyObject* {
    static const binding::FunctionDescription desc{"Query", "return_", {}, 0, true};
    PyRef rest;
    VM_PY_TRY(binding::extract_arguments(desc, args, kwargs, {}, &rest));
    const auto names = VM_PY_TRY(variables_of(rest));
    Query& q = self_query(self);
    const auto held = VM_PY_TRY(binding::borrow(q.borrowed));
    auto set = VM_PY_TRY(with_context(q.execute_operations(), "query - return"));
    auto rows = VM_PY_TRY(collect_rows(q, set, names));

    // Python objects only from here, on the caller's thread.
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return nullptr;
    for (auto& row : rows) {
      PyRef dict = PyRef::steal(PyDict_New());
      if (!dict) return nullptr;
      for (auto& [name, reference] : row) {
        const PyRef key = VM_PY_TRY(binding::utf8_to_str(name));
        const PyRef value = VM_PY_TRY(references::reference_to_py(std::move(reference)));
        if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
      }
      if (PyList_Append(list.get(), dict.get()) < 0) return nullptr;
    }
    return list.release();
  });
}

PyObject* query_str(PyObject* self) {
  return binding::guard([&]() -> PyObject* {
    return binding::into_ptr(binding::utf8_to_str(self_query(self).text()));
  });
}

PyMethodDef kMethods[] = {
    {"create", binding::with_keywords(&query_create), METH_VARARGS | METH_KEYWORDS, "create($self, pattern)\n--\n\n"},
    {"match", binding::with_keywords(&query_match), METH_VARARGS | METH_KEYWORDS, "match($self, pattern)\n--\n\n"},
    {"remove", binding::with_keywords(&query_remove), METH_VARARGS | METH_KEYWORDS, "remove($self, *variables)\n--\n\n"},
    {"set", binding::with_keywords(&query_set), METH_VARARGS | METH_KEYWORDS,
     "set($self, variable, properties, overwrite=True)\n--\n\n"},
    {"execute", query_execute, METH_NOARGS, "execute($self)\n--\n\n"},
    {"return_", binding::with_keywords(&query_return), METH_VARARGS | METH_KEYWORDS, "return_($self, *variables)\n--\n\n"},
    {"limit", binding::with_keywords(&query_limit), METH_VARARGS | METH_KEYWORDS, "limit($self, limit)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

binding::ClassSpec& query_class() {
  static binding::ClassSpec spec{"builtins.Query", "", sizeof(binding::Boxed<Query>), &binding::dealloc_boxed<Query>,
                                 kMethods, nullptr, {{Py_tp_str, reinterpret_cast<void*>(&query_str)}}};
  return spec;
}

binding::PyResult<binding::PyRef> new_query(graph::GraphPtr graph, graph::NodeUidSetPtr subset) {
  return binding::new_instance(query_class(), Query{std::move(graph), {}, std::move(subset)});
}

}  // namespace velmora::query
