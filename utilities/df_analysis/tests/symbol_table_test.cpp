// The symbol table: adding, lookup, generator replacement, formal
// parameters, deletion, the location list and the rejection of names and
// parameter lists that do not fit.
#include <string>

#include "test_support.h"

namespace {

class SymbolTableTest : public FormulaTest {};

TEST_F(SymbolTableTest, FirstOrdinaryEntryWins) {
  EXPECT_EQ(add_an_entry("SALES", "NET", "GROSS-TAX"), 0);
  EXPECT_EQ(add_an_entry("SALES", "net", "1"), 0);
  EXPECT_EQ(add_an_entry("sales", "Net", "2"), 0);
  ASSERT_EQ(symbol_list.size(), 1u);
  EXPECT_EQ(shape(get_symbol("SALES", "NET")->expression), "{GROSS-TAX}");
  // The same name in another book is another entry.
  EXPECT_EQ(add_an_entry("COSTS", "NET", "3"), 0);
  EXPECT_EQ(symbol_list.size(), 2u);
  EXPECT_EQ(shape(get_symbol("COSTS", "net")->expression), "3");
}

TEST_F(SymbolTableTest, GeneratorEntriesReplace) {
  Add("SALES", "FORECAST", "1");
  Add("SALES_GEN_", "FORECAST", "GROWTH*2");
  ASSERT_EQ(symbol_list.size(), 1u);
  SymbolEntry* entry = get_symbol("SALES", "FORECAST");
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->book_name, "SALES");
  EXPECT_EQ(entry->flag, ENTRY_GENERATOR);
  EXPECT_EQ(shape(entry->expression), "{GROWTH*2}");

  Add("sales_gen_", "Forecast", "GROWTH*3");
  ASSERT_EQ(symbol_list.size(), 1u);
  EXPECT_EQ(shape(get_symbol("SALES", "FORECAST")->expression), "{GROWTH*3}");
  // An ordinary definition after a generator changes nothing.
  Add("SALES", "FORECAST", "4");
  EXPECT_EQ(shape(get_symbol("SALES", "FORECAST")->expression), "{GROWTH*3}");
}

TEST_F(SymbolTableTest, FailedGeneratorReplacementKeepsTheOldEntry) {
  Add("S_GEN_", "G", "1");
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(add_an_entry("S_GEN_", "G", "1+"), 1);
  testing::internal::GetCapturedStdout();
  testing::internal::GetCapturedStderr();
  ASSERT_NE(get_symbol("S", "G"), nullptr);
  EXPECT_EQ(shape(get_symbol("S", "G")->expression), "1");
}

TEST_F(SymbolTableTest, GeneratorBookDetection) {
  const struct {
    const char* book;
    const char* stored;
    int flag;
  } cases[] = {
      {"SALES_GEN_", "SALES", ENTRY_GENERATOR},
      {"X_gen_", "X", ENTRY_GENERATOR},
      {"_GEN_", "_GEN_", 0},  // five characters: an ordinary book
      {"GEN_", "GEN_", 0},
      {"SALES_GEN", "SALES_GEN", 0},
  };
  for (const auto& c : cases) {
    Reset();
    Add(c.book, "E", "1");
    ASSERT_EQ(symbol_list.size(), 1u);
    EXPECT_EQ(symbol_list.front()->book_name, c.stored) << c.book;
    EXPECT_EQ(symbol_list.front()->flag, c.flag) << c.book;
  }
}

TEST_F(SymbolTableTest, FormalParameters) {
  Add("B", "RATE (x)", "x*FACTOR+x");
  SymbolEntry* entry = get_symbol("B", "rate");
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->name, "RATE");
  EXPECT_EQ(entry->local_env->total_args, 1);
  EXPECT_EQ(entry->local_env->args[0], "x");
  EXPECT_EQ(full(entry->expression), "+/1(*/1(x/4,FACTOR/0),x/4)");

  const struct {
    const char* usage;
    int count;
    const char* names;
  } cases[] = {
      {"TOTAL( a,b )", 2, "a,b,"},
      {"T(a,\tb ,c)", 3, "a,b,c,"},
      {"T()", 0, ""},
      {"T", 0, ""},
      {"T(a,,b)", 2, "a,b,"},
  };
  for (const auto& c : cases) {
    LocalEnv env(c.usage);
    std::string names;
    for (int i = 0; i < env.total_args; i++) names += env.args[i] + ",";
    EXPECT_EQ(env.total_args, c.count) << c.usage;
    EXPECT_EQ(names, c.names) << c.usage;
  }
}

TEST_F(SymbolTableTest, ScopeBindsArgumentsByPosition) {
  Add("B", "F(a, b)", "a+b");
  SymbolEntry* entry = get_symbol("B", "F");
  Expression* use = StringToMacroExpression("F(1)");
  entry->SetScope(&use->parameters);
  LocalEnv* env = entry->GetEnv();
  EXPECT_TRUE(env->locally_scoped("A"));
  EXPECT_FALSE(env->locally_scoped("c"));
  ASSERT_NE(env->find_in_scope("a"), nullptr);
  EXPECT_EQ(env->find_in_scope("a")->operator_name, "1");
  EXPECT_EQ(env->find_in_scope("b"), nullptr);  // the use gave one argument
  EXPECT_EQ(env->find_in_scope("c"), nullptr);
  entry->SetScope(nullptr);
  delete use;
}

TEST_F(SymbolTableTest, LookupCutsTheName) {
  Add("B", "RATE (x)", "x");
  Add("B", "INPUT", "");
  const struct {
    const char* book;
    const char* name;
    const char* found;
  } cases[] = {
      {"B", "rate", "RATE"},     {"b", "RATE(1,2)", "RATE"}, {"B", "#Rate", "RATE"},
      {"B", "RATE \t(1)", "RATE"}, {"B", "##RATE", nullptr},   {"B", "RAT", nullptr},
      {"C", "RATE", nullptr},    {"B", "input", "INPUT"},    {nullptr, "RATE", nullptr},
      {"B", nullptr, nullptr},
  };
  for (const auto& c : cases) {
    SymbolEntry* entry = get_symbol(c.book, c.name);
    if (c.found) {
      ASSERT_NE(entry, nullptr) << c.name;
      EXPECT_EQ(entry->name, c.found);
    } else {
      EXPECT_EQ(entry, nullptr) << (c.name ? c.name : "(null)");
    }
  }
  EXPECT_EQ(get_symbol("B", "INPUT")->expression, nullptr);
  EXPECT_TRUE(get_symbol("B", "INPUT")->is_input());
}

TEST_F(SymbolTableTest, LookupInBook) {
  Add("B", "ONE", "1");
  Add("B", "TWO", "2");
  Add("C", "THREE", "3");
  EXPECT_EQ(get_symbol_in_book("b", "one")->name, "ONE");
  EXPECT_EQ(get_symbol_in_book("B", "*")->name, "TWO");  // newest first
  EXPECT_EQ(get_symbol_in_book("B", "ONE(1)"), nullptr);  // no cutting
  EXPECT_EQ(get_symbol_in_book("D", "*"), nullptr);
}

TEST_F(SymbolTableTest, Delete) {
  Add("B", "ONE", "1");
  Add("B", "TWO", "ONE+1");
  Add("C", "ONE", "1");
  delete_formula_entry("B", "one(7)");
  EXPECT_EQ(get_symbol("B", "ONE"), nullptr);
  EXPECT_NE(get_symbol("B", "TWO"), nullptr);
  delete_all_formula_entries("b");
  ASSERT_EQ(symbol_list.size(), 1u);
  EXPECT_EQ(symbol_list.front()->book_name, "C");
  delete_formula_entry("B", "NONE");
}

TEST_F(SymbolTableTest, ParseFailureAddsNothing) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(add_an_entry("B", "BAD", "1+*2"), 1);
  std::string out = testing::internal::GetCapturedStdout();
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(out, "PARSE ERROR in StringToExpression (1+*2)\n");
  EXPECT_TRUE(symbol_list.empty());
  std::string too_long = "1";
  while (too_long.size() < 1024) too_long += "+1";
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(add_an_entry("B", "LONG", too_long.c_str()), 1);
  testing::internal::GetCapturedStdout();
  EXPECT_NE(testing::internal::GetCapturedStderr().find("longer than 1023"), std::string::npos);
  EXPECT_TRUE(symbol_list.empty());
  EXPECT_EQ(add_an_entry("B", "EMPTY", nullptr), 0);
  EXPECT_EQ(get_symbol("B", "EMPTY")->expression, nullptr);
}

TEST_F(SymbolTableTest, Exceptions) {
  const struct {
    const char* book;
    const char* name;
    int code;
  } cases[] = {
      {nullptr, "N", DF_ARGUMENT_MISSING},
      {"B", nullptr, DF_ARGUMENT_MISSING},
      {"B", "", DF_ARGUMENT_MISSING},
  };
  for (const auto& c : cases) {
    try {
      add_an_entry(c.book, c.name, "1");
      ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
      EXPECT_EQ(e.ExceptionID, c.code);
      EXPECT_STREQ(e.dumpstr, ("file: df_analysis  fn: add_an_entry  line: " +
                               std::string(e.dumpstr).substr(std::string(e.dumpstr).rfind(' ') + 1)).c_str());
    }
  }
  std::string book260 = std::string(255, 'b') + "_GEN_";
  EXPECT_EQ(add_an_entry(book260.c_str(), "N", "1"), 0);
  std::string book261 = "b" + book260;
  try {
    add_an_entry(book261.c_str(), "N", "1");
    ADD_FAILURE() << "no exception";
  } catch (const Exception& e) {
    EXPECT_EQ(e.ExceptionID, DF_BOOK_NAME_TOO_LONG);
  }
  // An ordinary book has no such limit.
  EXPECT_EQ(add_an_entry(std::string(600, 'o').c_str(), "N", "1"), 0);
}

// Names that do not fit the 64-character lookup buffer, and more than 16
// formal parameters, are rejected rather than stored where no lookup finds
// them.
TEST_F(SymbolTableTest, NameAndParameterLimits) {
  std::string name63(63, 'n');
  Add("B", name63.c_str(), "1");
  EXPECT_NE(get_symbol("B", name63.c_str()), nullptr);
  testing::internal::CaptureStderr();
  EXPECT_EQ(add_an_entry("B", (name63 + "n").c_str(), "1"), 1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("longer than 63"), std::string::npos);
  EXPECT_EQ(get_symbol("B", (name63 + "n").c_str()), nullptr);
  EXPECT_EQ(get_symbol("B", std::string(5000, 'n').c_str()), nullptr);
  EXPECT_EQ(objectify_an_entry("B", std::string(5000, 'n').c_str(), 1), "");

  std::string sixteen = "P(a,b,c,d,e,f,g,h,i,j,k,l,m,n,o,p)";
  std::string seventeen = "Q(a,b,c,d,e,f,g,h,i,j,k,l,m,n,o,p,q)";
  Add("B", sixteen.c_str(), "a+p");
  EXPECT_EQ(get_symbol("B", "P")->local_env->total_args, 16);
  testing::internal::CaptureStderr();
  EXPECT_EQ(add_an_entry("B", seventeen.c_str(), "a+q"), 1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("more than 16"), std::string::npos);
  EXPECT_EQ(get_symbol("B", "Q"), nullptr);
  LocalEnv env(seventeen.c_str());
  EXPECT_EQ(env.total_args, 16);
  EXPECT_TRUE(env.too_many_args);
}

TEST(ExpressionTree, MatchRules) {
  const struct {
    const char* pattern;
    const char* term;
    int match;
  } cases[] = {
      {"Price", "Price(Item)", 1},  {"Price", "price", 1},          {"#Price", "PRICE", 1},
      {"Price", "#Price", 0},       {"Price(a)", "Price(a)", 1},    {"Price(a)", "Price(b)", 0},
      {"Price(a)", "Price(a,b)", 0}, {"Price(a)", "Price", 0},      {"F(G)", "F(G(x))", 1},
      {"F(G(x))", "F(G)", 0},       {"F(,b)", "F(,B)", 1},
  };
  for (const auto& c : cases) {
    testing::internal::CaptureStdout();
    Expression* pattern = StringToMacroExpression(c.pattern);
    Expression* term = StringToMacroExpression(c.term);
    testing::internal::GetCapturedStdout();
    ASSERT_NE(pattern, nullptr);
    ASSERT_NE(term, nullptr);
    EXPECT_EQ(pattern->Match(term), c.match) << c.pattern << " vs " << c.term;
    delete pattern;
    delete term;
  }
}

TEST(ExpressionTree, CopyPrintAndMacroExpand) {
  Expression* tree = StringToExpression("F(a, -b)+a%");
  Expression* copy = tree->Create_a_copy();
  delete tree;
  EXPECT_EQ(full(copy), "+/1(F/2(a/0,-/1(~/1,b/0)),%/1(a/0))");
  testing::internal::CaptureStdout();
  copy->print();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "( F (a , ( (   )- b  ))+ ( a %  ) )");
  const char* names[] = {"A", "f", nullptr};
  macro_expand(copy, names, "Z");
  EXPECT_EQ(shape(copy), "{Z(Z,{-b})+{Z%}}");
  delete copy;
}

TEST_F(SymbolTableTest, LocationList) {
  Locate("Price(Item)", "B", "2", "10");
  Locate("#Qty", "C", "2", "10");
  testing::internal::CaptureStdout();
  AddItem("F(", "D", "1", "2");  // does not parse: not added
  testing::internal::GetCapturedStdout();
  ASSERT_EQ(rangeList.size(), 2u);
  EXPECT_EQ(rangeList.front()->expression->operator_name, "#Qty");
  EXPECT_EQ(rangeList.back()->column, "B");
  try {
    AddItem("X", nullptr, "1", "2");
    ADD_FAILURE() << "no exception";
  } catch (const Exception& e) {
    EXPECT_EQ(e.ExceptionID, DF_ARGUMENT_MISSING);
  }
  testing::internal::CaptureStdout();
  print_list();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.find("\nprint_list -------------\n"), 0u);
  EXPECT_NE(out.find(" #Qty\n"), std::string::npos);
  EXPECT_EQ(out.substr(out.size() - 17), "-----------------");
  delete_range_list();
  EXPECT_TRUE(rangeList.empty());
}

}  // namespace

namespace {

// Entries are made once and kept until the process ends; under the leak
// checker an exit with a full table must not count them as lost.
TEST(SymbolTableLifetime, EntriesLeftAtExitAreNotLeaks) {
  EXPECT_EXIT(
      {
        add_an_entry("B", "X(a)", "a+1");
        add_an_entry("B_GEN_", "G", "X(2)*3");
        AddItem("X", "B", "1", "2");
        do_dependency_analysis();
        exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
