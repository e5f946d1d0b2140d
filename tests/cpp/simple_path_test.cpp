// The one-pass reading of the common path shapes against the full parse:
// random texts in, just outside and around the shapes it takes, each parsed
// both ways, must give equal patterns or the same printed report.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "errors.hpp"
#include "pattern_test_support.hpp"
#include "patterns/parsing.hpp"
#include "patterns/path.hpp"
#include "patterns/trim.hpp"

namespace velmora::patterns {
namespace {

using namespace test_support;

// A value with the kind of every level spelled out, so that 1 and 1.0 or "1"
// differ even where their texts would not.
std::string describe(const Value& v) {
  std::string out = fmt::format("<{}>", static_cast<int>(v.kind()));
  if (const auto* items = v.get_if<Value::Array>()) {
    out += "[";
    for (const Value& item : *items) out += describe(item) + ",";
    return out + "]";
  }
  if (const auto* map = v.get_if<Value::Map>()) {
    out += "{";
    for (const auto& [key, value] : *map) out += fmt::format("'{}':{},", key, describe(value));
    return out + "}";
  }
  return out + v.to_string();
}

template <class P>
std::string describe_parts(const P& p) {
  std::string out;
  out += p.variable() ? fmt::format("var '{}'", *p.variable()) : "no var";
  out += p.type_schema() ? fmt::format(" type '{}' {}", p.type_schema()->schema(), show(p.type_schema()->pattern()))
                         : " no type";
  out += p.term_schema() ? fmt::format(" term '{}' {}", p.term_schema()->schema(), show(p.term_schema()->pattern()))
                         : " no term";
  if (p.properties()) {
    out += " props {";
    for (const auto& [key, value] : p.properties()->iter()) out += fmt::format("'{}':{},", key, describe(value));
    out += "}";
  } else {
    out += " no props";
  }
  return out;
}

std::string describe(const std::vector<NodePattern>& nodes, const std::vector<EdgePattern>& edges) {
  std::string out;
  for (const NodePattern& n : nodes) out += "node(" + describe_parts(n) + ") ";
  for (const EdgePattern& e : edges) out += fmt::format("edge<{}>({}) ", to_string(e.direction()), describe_parts(e));
  return out;
}

std::string describe(const PathPattern& path) {
  return fmt::format("'{}' {}", path.pattern(), describe(path.nodes(), path.edges()));
}

std::string describe(const Result<PathPattern>& result) {
  if (!result) return "error: " + errors::format_report(result.error());
  return describe(*result);
}

std::string describe(const Result<std::shared_ptr<const PathPattern>>& result) {
  if (!result) return "error: " + errors::format_report(result.error());
  return describe(**result);
}

// Random texts built from pieces of the language, most of them in the shapes
// the one pass takes, the rest just outside them or broken.
class TextMaker {
 public:
  explicit TextMaker(unsigned seed) : rng_(seed) {}

  std::string path() {
    std::string out = maybe(8) ? pick(kSpaces) : "";
    const std::size_t nodes = 1 + below(4);
    for (std::size_t i = 0; i < nodes; ++i) {
      if (i > 0) out += gap() + edge() + gap();
      out += node();
    }
    if (maybe(8)) out += pick(kSpaces);
    if (maybe(6)) mutate(out);
    if (maybe(12)) mutate(out);
    return out;
  }

 private:
  static constexpr const char* kNames[] = {"a",     "b",     "r",      "_",   "_x",   "x1",   "T5",    "Person",
                                           "KNOWS", "a_b_c", "abc123", "n0",  "None", "True", "False", "none",
                                           "true",  "null",  "1a",     "9",   "a-b",  "a.b",  "é",     "x\xc2\xa0",
                                           "a b",   "*",     "a->b",   "(a)", "@K()", "f x"};
  static constexpr const char* kPlainBlocks[] = {"{k: 5}",
                                                 "{}",
                                                 "{k: 1, s: 2.5}",
                                                 "{a: true, b: null, c: None}",
                                                 "{k: -1,}",
                                                 "{m: {x: 1, y: {}}}",
                                                 "{k: 1e3}",
                                                 "{ k : 7 , j:8 }",
                                                 "{k: 0.5e-3, z: -0}",
                                                 "{k: 1, k: 2}",
                                                 "{k: +4}",
                                                 "{k:\t3}"};
  static constexpr const char* kBlocks[] = {
      "{k: 1e999}",    "{k: nan}",  "{k: 'q'}", "{k: \"q\"}",   "{k: [1, 2]}",
      "{k: (1)}",      "{k 1}",     "{k: }",    "{: 1}",        "{k: 1: 2}",
      "{k: abc}",      "{k: 1}}",   "{{k: 1}",  "{k: -}",       "{k: 99999999999999999999}",
      "{k: \xc3\xa9}", "{,}",       "{k: 1,,}", "{k: {a: 1,}}", "{k: {'a': 1}}",
      "{k: {a: [}}",   "{k: {a b}}"};
  static constexpr const char* kSpaces[] = {" ", "  ", "\t", "\n", "\xc2\xa0", " \r\n"};
  static constexpr const char* kLeft[] = {"-", "-", "-", "<-", "<-", "", "--", "<", "- ", "<--", ">"};
  static constexpr const char* kRight[] = {"->", "->", "-", "-", "", ">", "- >", "->>", "-->", "<-"};
  static constexpr const char* kNoise[] = {"(",        ")",        "[",    "]",  ":", "{", "}", "'",
                                           "\"",       "*",        "@",    ",",  " ", "-", ">", "<",
                                           "\xc3\xa9", "\xc2\xa0", "\xff", "\t", "x", "1", "_", "::"};

  std::size_t below(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }
  bool maybe(std::size_t one_in) { return below(one_in) == 0; }
  template <std::size_t N>
  std::string pick(const char* const (&table)[N]) {
    return table[below(N)];
  }

  std::string name() {
    if (maybe(40)) return std::string(254 + below(3), 'n');  // around the length limit
    if (maybe(5)) return pick(kNames);
    std::string out(1, "abcxyzABCXYZ_"[below(13)]);
    for (std::size_t n = below(6); n > 0; --n) out += "abz_09XZ"[below(8)];
    return out;
  }

  std::string head() {
    std::string out;
    if (!maybe(3)) out += name();
    if (maybe(2)) out += ":" + name();
    if (maybe(25)) out += ":" + name();  // a term schema
    if (maybe(3)) {
      if (!out.empty() || maybe(4)) out += std::string(below(3), ' ');
      out += maybe(3) ? pick(kBlocks) : pick(kPlainBlocks);
    }
    return out;
  }

  std::string node() { return "(" + head() + ")"; }
  std::string edge() {
    if (maybe(30)) return "-->";
    const std::string inside = "[" + (maybe(3) ? std::string() : head()) + "]";
    if (maybe(4)) return pick(kLeft) + inside + pick(kRight);
    switch (below(3)) {
      case 0: return "-" + inside + "->";
      case 1: return "<-" + inside + "-";
      default: return "-" + inside + "-";
    }
  }
  std::string gap() { return maybe(6) ? pick(kSpaces) : ""; }

  void mutate(std::string& text) {
    if (text.empty()) return;
    const std::size_t at = below(text.size() + 1);
    switch (below(4)) {
      case 0: text.insert(at, pick(kNoise)); break;
      case 1:
        if (at < text.size()) text.erase(at, 1 + below(3));
        break;
      case 2: text.resize(at); break;
      default: text.insert(at, text.substr(below(text.size()), 1 + below(4))); break;
    }
  }

  std::mt19937 rng_;
};

TEST(SimplePath, AgreesWithTheFullParseOnRandomTexts) {
  TextMaker maker(20261207);
  std::size_t taken = 0;
  std::size_t failed = 0;
  constexpr std::size_t kTexts = 40000;
  for (std::size_t n = 0; n < kTexts; ++n) {
    const std::string text = maker.path();
    const auto general = PathPattern::create_general(text);
    const std::string expected = describe(general);
    ASSERT_EQ(describe(PathPattern::create(text)), expected) << "text: " << text;
    ASSERT_EQ(describe(PathPattern::create_shared(text)), expected) << "text: " << text;
    if (!general) ++failed;

    std::vector<NodePattern> nodes;
    std::vector<EdgePattern> edges;
    if (!parse_simple_path(trim(text), nodes, edges)) continue;
    ++taken;
    ASSERT_TRUE(general.has_value()) << "text: " << text << "\n" << expected;
    ASSERT_EQ(describe(nodes, edges), describe(general->nodes(), general->edges())) << "text: " << text;
  }
  // Both sides of the comparison must be well exercised.
  EXPECT_GT(taken, kTexts / 5);
  EXPECT_GT(failed, kTexts / 5);
  EXPECT_GT(kTexts - failed - taken, kTexts / 20);
}

// Texts at the edges of the one-pass shapes, each parsed both ways.
TEST(SimplePath, AgreesWithTheFullParseAtTheEdgesOfItsShapes) {
  const std::string long_name(255, 'n');
  const std::vector<std::string> texts = {"(:T5 {k: 5})",
                                          "(:T1 {k: 1})-[]->(:T2 {k: 2})",
                                          "(a)",
                                          "()",
                                          "(a:T)",
                                          "(:T)",
                                          "(a:)",
                                          "(:)",
                                          "(a:T:U)",
                                          "(a:T {})",
                                          "({})",
                                          "( {k: 1})",
                                          "(a {k: 1} )",
                                          "(a  {k: 1})",
                                          "(a{k: 1})",
                                          "(a)-[r]->(b)",
                                          "(a)<-[r]-(b)",
                                          "(a)-[r]-(b)",
                                          "(a)<-[r]->(b)",
                                          "(a)-[]-(b)",
                                          "(a)<-[]-(b)",
                                          "(a)-[:E]->(b)",
                                          "(a)-[r:E {w: 1}]->(b)",
                                          "(a)-[{}]->(b)",
                                          "(a)-[ ]->(b)",
                                          "(a) -[r]-> (b)",
                                          "(a)  -[r]->  (b)",
                                          "(a)\t-[r]->(b)",
                                          "(a)-[r]->",
                                          "(a)-[r]",
                                          "-[r]->(a)",
                                          "(a)(b)",
                                          "(a)-->(b)",
                                          "(a)-[r]->(b)-[s]->(c)",
                                          "(a)-[r](b)",
                                          "(" + long_name + ")",
                                          "(" + long_name + "n)",
                                          "(:" + long_name + ")",
                                          "(None)",
                                          "(:True)",
                                          "(a)-[False]->(b)",
                                          "(_)",
                                          "(1a)",
                                          "(a)-[r:E:t]->(b)",
                                          "(a:(x: *))",
                                          "(a:*)",
                                          "(*)",
                                          "(a->b)",
                                          "(a:T {k: 'x'})",
                                          "(a {k: [1]})",
                                          "(a)-[r {k: [1]}]->(b)",
                                          "(a {k: 1)",
                                          "(a {k: 1}",
                                          "(a)-[r {k: 1}->(b)",
                                          "(a)-[r]->(b {k: })",
                                          "(a {k: 1e999})",
                                          "(a {k})",
                                          "(a:T)-[r:E]->(b:T)",
                                          "(\xc3\xa9)",
                                          "(a)-[\xc3\xa9]->(b)",
                                          "(a:T\xc2\xa0)",
                                          "(a:T )",
                                          "(a :T)",
                                          "(a)-[r]- >(b)",
                                          "(a)--[r]->(b)",
                                          "(a)-[r]-->(b)",
                                          "(a)<-[r]--(b)",
                                          "(a)<[r]-(b)",
                                          "(:T7 {lemma: 'kavelo', pos: 'n', lex: 5, glen: 120})-[{rel: "
                                          "'hypernym'}]->(:T2 {lemma: 'x', pos: \"v\", lex: 0, glen: 1})",
                                          "(a {k: '}'})",
                                          "(a {k: '{'})",
                                          "(a {k: ')'})",
                                          "(a)-[r {k: ']'}]->(b)",
                                          "(a {k: 'x:y, z'})",
                                          "(a {k: \"it's\"})",
                                          "(a {k: 'it\\'s'})",
                                          "(a {k: 'open})",
                                          "(a {'k': 1})",
                                          "(a {k: 'x'}, m: 1})",
                                          "(a {k: 'a' 'b'})",
                                          "(a)-[{rel: 'x'}]->(b {k: '\\n'})"};
  for (const std::string& text : texts) {
    const auto general = PathPattern::create_general(text);
    EXPECT_EQ(describe(PathPattern::create(text)), describe(general)) << "text: " << text;
    std::vector<NodePattern> nodes;
    std::vector<EdgePattern> edges;
    if (parse_simple_path(trim(text), nodes, edges)) {
      ASSERT_TRUE(general.has_value()) << "text: " << text;
      EXPECT_EQ(describe(nodes, edges), describe(general->nodes(), general->edges())) << "text: " << text;
    }
  }
}

// The shapes of a bulk load take the one pass: the point of it.
TEST(SimplePath, TakesTheCommonShapes) {
  for (const char* text :
       {"(:T5 {k: 5})", "(:T5)-[]->(:T9)", "(:T1 {k: 1})-[]->(:T2 {k: 2})", "(a:T)-[r:E]->(b)", "(a)<-[r]-(b)",
        "(a) -[r]- (b)", "(:T7 {k: 'x', n: 1})-[{rel: 'hypernym'}]->(:T2 {k: \"y\"})"}) {
    std::vector<NodePattern> nodes;
    std::vector<EdgePattern> edges;
    EXPECT_TRUE(parse_simple_path(text, nodes, edges)) << text;
  }
}

}  // namespace
}  // namespace velmora::patterns
