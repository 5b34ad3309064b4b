// The formula and macro grammars: binding order, tree shapes, error texts,
// nesting depth and the rejection of over-long input.
#include <string>

#include "formula_grammar.hpp"
#include "macro_grammar.hpp"
#include "test_support.h"

namespace {

struct ParseCase {
  const char* text;
  const char* expected;  // shape(), or "null" when the text must not parse
};

std::string ParseShape(const char* text) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  Expression* tree = StringToExpression(text);
  testing::internal::GetCapturedStdout();
  testing::internal::GetCapturedStderr();
  std::string result = shape(tree);
  delete tree;
  return result;
}

TEST(FormulaGrammar, BindingOrder) {
  const ParseCase cases[] = {
      {"a+b*c", "{a+{b*c}}"},
      {"a*b+c", "{{a*b}+c}"},
      {"a-b-c", "{{a-b}-c}"},
      {"a/b/c", "{{a/b}/c}"},
      {"a^b^c", "{{a^b}^c}"},
      {"a=b+c", "{{a=b}+c}"},
      {"a+b=c", "{a+{b=c}}"},
      {"a<b*c", "{{a<b}*c}"},
      {"a<>b^c", "{{a<>b}^c}"},
      {"a>=b<=c", "{{a>=b}<=c}"},
      {"a^b<c", "{a^{b<c}}"},
      {"a=b:c", "{a={b:c}}"},
      {"a&b=c", "{{a&b}=c}"},
      {"a:b&c", "{{a:b}&c}"},
      {"-a^2", "{-{a^2}}"},
      {"-a+b", "{{-a}+b}"},
      {"-a*b", "{-{a*b}}"},
      {"a*-b", "{a*{-b}}"},
      {"+a", "{+a}"},
      {"a*b%", "{{a*b}%}"},
      {"a+b%", "{a+{b%}}"},
      {"a%*b", "{{a%}*b}"},
      {"-a%", "{-{a%}}"},
      {"Sheet1!A1:B2", "{{Sheet1!A1}:B2}"},
      {"Sheet1!A1+1", "{{Sheet1!A1}+1}"},
      {"[Book]Sheet!A1", "{Book[]{Sheet!A1}}"},
      {"[Book]Sheet!A1*2", "{{Book[]{Sheet!A1}}*2}"},
      {"app|topic!item", "{app|{topic!item}}"},
      {"(a+b)*c", "{{a+b}*c}"},
      {"SUM(A1:A3)", "SUM({A1:A3})"},
      {"F(a,b+c,G(d))", "F(a,{b+c},G(d))"},
      {"$A$1*2", "{$A$1*2}"},
      {"  a \t+ b ", "{a+b}"},
      {"a>b", "{a>b}"},
      {"a<b", "{a<b}"},
      {"\"x y\"&z", "{\"x y\"&z}"},
      {"'My Sheet'!A1", "{'My Sheet'!A1}"},
      {"a\\+b", "a+b"},
  };
  for (const ParseCase& c : cases) EXPECT_EQ(ParseShape(c.text), c.expected) << c.text;
}

TEST(FormulaGrammar, Rejected) {
  const char* cases[] = {
      "", "a+", "a b", "(a", "a)", "a;b", "{a}", "F(a", "*a", "a!", "[a", "[a]", "a==b", "=a",
  };
  for (const char* text : cases) EXPECT_EQ(ParseShape(text), "null") << text;
}

TEST(FormulaGrammar, NodesAndFlags) {
  const ParseCase cases[] = {
      {"SUM(A1:A3)", "SUM/2(:/1(A1/0,A3/0))"},
      {"(a+b)", "+/3(a/0,b/0)"},
      {"(a)", "a/2"},
      {"-5", "-/1(~/1,5/0)"},
      {"a%", "%/1(a/0)"},
      {"F()", "F/2(~/0)"},
      {"F(,x)", "F/2(~/0,x/0)"},
      {"F(x,)", "F/2(x/0,~/0)"},
      {"F(,)", "F/2(~/0,~/0)"},
      {"[B]S!A1", "[]/1(B/0,!/1(S/0,A1/0))"},
      {"a|b", "|/1(a/0,b/0)"},
  };
  for (const ParseCase& c : cases) {
    Expression* tree = StringToExpression(c.text);
    EXPECT_EQ(full(tree), c.expected) << c.text;
    delete tree;
  }
}

TEST(FormulaScanner, Literals) {
  const ParseCase cases[] = {
      {"\"abc\"", "\"abc\""},
      {"\"a\\\"b\"", "\"a\"b\""},   // an escaped quote does not end the literal
      {"\"abc", "\"abc\""},          // closed at the end of the text
      {"'a b'", "'a b'"},
      {"'it\\'s'", "'it's'"},
      {"\"a,b(c)\"", "\"a,b(c)\""},
      {"A\\ B", "A B"},
      {"x.y_z#1$", "x.y_z#1$"},
  };
  for (const ParseCase& c : cases) {
    Expression* tree = StringToExpression(c.text);
    ASSERT_NE(tree, nullptr) << c.text;
    EXPECT_EQ(tree->operator_name, c.expected) << c.text;
    EXPECT_TRUE(tree->parameters.empty()) << c.text;
    delete tree;
  }
}

TEST(FormulaScanner, TokenCodes) {
  struct {
    const char* text;
    int codes[4];
  } cases[] = {
      {">= <= <>", {TOKEN_GE, TOKEN_LE, TOKEN_NE, 0}},
      {"<a>b", {'<', TOKEN_WORD, '>', TOKEN_WORD}},
      {"!(),", {'!', '(', ')', ','}},
      {"[]|;", {'[', ']', '|', ';'}},
      {"+-*/", {'+', '-', '*', '/'}},
  };
  for (const auto& c : cases) {
    dd_set_string(c.text);
    for (int expected : c.codes) {
      int code = dd_lex();
      EXPECT_EQ(code, expected) << c.text;
      if (code == TOKEN_WORD) delete dd_lval.node;
    }
  }
}


std::string MacroShape(const char* text) {
  testing::internal::CaptureStdout();
  Expression* tree = StringToMacroExpression(text);
  testing::internal::GetCapturedStdout();
  std::string result = full(tree);
  delete tree;
  return result;
}

TEST(MacroGrammar, Trees) {
  const ParseCase cases[] = {
      {"Price", "Price/0"},
      {"#Price", "#Price/0"},
      {"Price(Item 1, Qty)", "Price/2(Item 1/0,Qty/0)"},
      {"Price(Item 1 ,Qty)", "Price/2(Item 1 /0,Qty/0)"},
      {"  Total(Region(East), )", "Total/2(Region/2(East/0),~/0)"},
      {"F()", "F/2(~/0)"},
      {"F(,x)", "F/2(~/0,x/0)"},
      {"a+b*c", "a+b*c/0"},
      {"F(\"a,b\")", "F/2(\"a,b\"/0)"},
      {"F(a\\,b)", "F/2(a,b/0)"},
      {"A\tB", "null"},
      {"", "null"},
      {"F(a", "null"},
      {"F(a))", "null"},
      {"F G(x)", "F G/2(x/0)"},
      {"(a)", "null"},
  };
  for (const ParseCase& c : cases) EXPECT_EQ(MacroShape(c.text), c.expected) << c.text;
}

TEST(ParserMessages, FormulaErrorGoesToStderr) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(StringToExpression("a+;b"), nullptr);
  std::string out = testing::internal::GetCapturedStdout();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "# Error : parse error near ;\n");
  EXPECT_EQ(out, "PARSE ERROR in StringToExpression (a+;b)\n");
  EXPECT_EQ(root, nullptr);
}

TEST(ParserMessages, MacroErrorGoesToStdout) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(StringToMacroExpression("F(a))"), nullptr);
  std::string out = testing::internal::GetCapturedStdout();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(out.find("# Error : parse error near )\nPARSE ERROR in StringToMacroExpression (F(a)),"), 0u) << out;
  EXPECT_EQ(root, nullptr);
  EXPECT_EQ(err, "");
}

TEST(ParserMessages, Translated) {
  EXPECT_STREQ(df_parser_message("syntax error"), "parse error");
  EXPECT_STREQ(df_parser_message("memory exhausted"), "parser stack overflow");
}

// Nesting far past the initial stack of 200 entries, up to what fits the
// 1023-character input.
TEST(Nesting, DeepParenthesesAndSigns) {
  for (int depth : {150, 199, 200, 201, 400, 511}) {
    std::string text = std::string(depth, '(') + "a" + std::string(depth, ')');
    Expression* tree = StringToExpression(text.c_str());
    ASSERT_NE(tree, nullptr) << depth;
    EXPECT_EQ(full(tree), "a/2");
    delete tree;
  }
  std::string signs = std::string(1022, '-') + "a";
  Expression* tree = StringToExpression(signs.c_str());
  ASSERT_NE(tree, nullptr);
  int depth = 0;
  for (const Expression* node = tree; !node->parameters.empty(); node = node->parameters.back()) depth++;
  EXPECT_EQ(depth, 1022);
  delete tree;
}

TEST(Nesting, DeepMacroCalls) {
  std::string text;
  for (int i = 0; i < 340; i++) text += "f(";
  text += "x" + std::string(340, ')');
  ASSERT_LE(text.size(), 1023u);
  testing::internal::CaptureStdout();
  Expression* tree = StringToMacroExpression(text.c_str());
  testing::internal::GetCapturedStdout();
  ASSERT_NE(tree, nullptr);
  int depth = 0;
  for (const Expression* node = tree; !node->parameters.empty(); node = node->parameters.front()) depth++;
  EXPECT_EQ(depth, 340);
  delete tree;
}

// Input over 1023 characters and tokens over 55 characters are rejected as
// parse errors; the longest accepted ones parse.
TEST(Limits, InputLength) {
  std::string longest = "a";
  while (longest.size() < 1023) longest += "+a";
  ASSERT_EQ(longest.size(), 1023u);
  EXPECT_NE(ParseShape(longest.c_str()), "null");
  EXPECT_EQ(ParseShape((longest + "b").c_str()), "null");
  EXPECT_EQ(ParseShape(std::string(5000, 'x').c_str()), "null");

  std::string macro = "F(xx";
  while (macro.size() < 1022) macro += ",x";
  macro += ")";
  EXPECT_EQ(macro.size(), 1023u);
  EXPECT_NE(MacroShape(macro.c_str()), "null");
  EXPECT_EQ(MacroShape((macro + " ").c_str()), "null");
}

std::string Escaped(int count) {
  std::string text;
  for (int i = 0; i < count; i++) text += "\\e";
  return text;
}

TEST(Limits, TokenLength) {
  const std::string name55(55, 'n');
  const struct {
    std::string text;
    bool parses;
  } cases[] = {
      {name55, true},
      {name55 + "n", false},
      {"x+" + name55 + "n" + "+y", false},
      {"\"" + std::string(53, 's') + "\"", true},  // 55 with its quotes
      {"\"" + std::string(54, 's') + "\"", false},
      {"\"" + std::string(54, 's'), false},        // the added closing quote counts
      {"\"" + std::string(53, 's'), true},
      {Escaped(55), true},                          // escapes drop their backslash
      {Escaped(56), false},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseShape(c.text.c_str()) != "null", c.parses) << c.text;

  const struct {
    std::string text;
    bool parses;
  } macro_cases[] = {
      {"F(" + name55 + ")", true},
      {"F(" + name55 + "n)", false},
      {name55 + "n", false},
      {"F(\"" + std::string(53, 's') + "\")", true},
      {"F(\"" + std::string(54, 's') + "\")", false},
      {"F(" + Escaped(56) + ")", false},
  };
  for (const auto& c : macro_cases) EXPECT_EQ(MacroShape(c.text.c_str()) != "null", c.parses) << c.text;

  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  StringToExpression((name55 + "n").c_str());
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "# Error : parse error near " + name55 + "\n");
}

}  // namespace
