// Dependency analysis: dependency records, worksheet cells of a use's
// inputs, cycles, input checks and the order of computation.
#include <string>

#include "test_support.h"

namespace {

class DependencyTest : public FormulaTest {
 protected:
  void AddPayroll() {
    Add("B", "GROSS", "");
    Add("B", "RATE", "");
    Add("B", "TAX", "GROSS*RATE");
    Add("B", "NET", "GROSS-TAX");
  }
  static std::string Records(const char* book, const char* name) {
    do_dependency_analysis();
    std::string text;
    for (const Dependency* dependency : get_symbol(book, name)->dependencies) {
      text += dependency->symbol->name + "=" + shape(dependency->subExpression) + ";";
    }
    return text;
  }
  static void ExpectFlagsClear() {
    for (const SymbolEntry* entry : symbol_list) {
      EXPECT_EQ(entry->flag & (ENTRY_IN_CYCLE_CHECK | ENTRY_IN_WALK), 0) << entry->name;
    }
  }
};

TEST_F(DependencyTest, OrderPutsEveryEntryAfterWhatItUses) {
  AddPayroll();
  EXPECT_EQ(get_dependency_order("B"), "GROSS;RATE;TAX;NET;");
  Reset();
  // Added the other way round, the order of computation still holds.
  Add("B", "NET", "GROSS-TAX");
  Add("B", "TAX", "GROSS*RATE");
  Add("B", "RATE", "");
  Add("B", "GROSS", "");
  EXPECT_EQ(get_dependency_order("b"), "GROSS;RATE;TAX;NET;");
  EXPECT_EQ(get_dependency_order("NOBOOK"), "");
  ExpectFlagsClear();
}

TEST_F(DependencyTest, Cycles) {
  Add("B", "A", "B+1");
  Add("B", "B", "A*2");
  Add("B", "SELF", "SELF+1");
  Add("B", "X", "Y+1");
  Add("B", "Y", "");
  Add("B", "OFF", "OFFSET(OFF, 1, 1)");
  Add("B", "VIA", "OFF+2");
  const struct {
    const char* name;
    int cyclic;
  } cases[] = {{"A", 1}, {"B", 1}, {"SELF", 1}, {"X", 0}, {"Y", 0}, {"OFF", 0}, {"VIA", 0}, {"NONE", 0}};
  for (const auto& c : cases) EXPECT_EQ(check_cyclic_reference("B", c.name), c.cyclic) << c.name;
  ExpectFlagsClear();

  std::string order = get_dependency_order("B");
  for (const char* name : {"A", "B", "SELF", "X", "Y", "OFF", "VIA"}) {
    EXPECT_TRUE(pattern_exists(order.c_str(), name)) << name << " in " << order;
  }
  EXPECT_EQ(order.size(), std::string("A;B;SELF;X;Y;OFF;VIA;").size()) << order;
  do_dependency_analysis();  // ends despite the cycles
  EXPECT_EQ(Records("B", "A"), "");
  EXPECT_EQ(Records("B", "X"), "Y=Y;");
  ExpectFlagsClear();

  try {
    check_cyclic_reference("B", nullptr);
    ADD_FAILURE() << "no exception";
  } catch (const Exception& e) {
    EXPECT_EQ(e.ExceptionID, DF_ARGUMENT_MISSING);
    EXPECT_EQ(std::string(e.dumpstr).find("file: df_analysis  fn: check_cyclic_reference"), 0u);
  }
}

TEST_F(DependencyTest, Records) {
  Add("B", "P(k)", "");
  Add("B", "Q", "");
  Add("B_GEN_", "G", "Q*2");
  Add("B", "SAME", "P(a)+P(a)*Q+Q");
  Add("B", "DIFFERENT", "P(a)+P(b)");
  Add("B", "VIAGEN", "G+1");
  Add("B", "NESTED", "SAME-DIFFERENT");
  Add("B", "NONE", "1+2");
  const struct {
    const char* name;
    const char* records;  // front to back
  } cases[] = {
      {"SAME", "Q=Q;P=P(a);"},
      {"DIFFERENT", "P=P(b);P=P(a);"},
      {"VIAGEN", "G=G;"},  // a generator counts as an input here
      {"NESTED", "P=P(b);Q=Q;P=P(a);"},
      {"NONE", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(Records("B", c.name), c.records) << c.name;
  ExpectFlagsClear();
  testing::internal::CaptureStdout();
  debug_dependency_results();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("\nSymbol : SAME & dependencies : Q P (a )\n"), std::string::npos) << out;
}

TEST_F(DependencyTest, FormalParametersAreNotFollowed) {
  Add("B", "IN", "");
  Add("B", "F(x)", "x+IN");
  testing::internal::CaptureStdout();
  EXPECT_EQ(Records("B", "F"), "IN=IN;");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "find_dependency ?????????? not included x\n");
}

TEST_F(DependencyTest, DependenciesOfOneUse) {
  AddPayroll();
  Add("B", "Sales(r)", "");
  Add("B", "TOTAL(region)", "SUM(#Sales(region))*2");
  Add("B", "CONST", "1+2");
  Locate("GROSS", "B", "2", "10");
  Locate("RATE", "C", "2", "10");
  Locate("Sales(East)", "D", "3", "30");
  const struct {
    const char* macro;
    const char* expected;
  } cases[] = {
      {"NET", "C;B;"},
      {"TAX", "C;B;"},
      {"TOTAL(East)", "D3:D30;"},
      {"TOTAL(West)", "D3:D30;"},  // a range term ignores the arguments
      {"CONST", ""},
      {"NOENTRY", ""},
      {"TOTAL(", "D3:D30;"},  // the entry is named even though the macro does not parse
  };
  for (const auto& c : cases) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(get_dependencies("B", c.macro, &rangeList), c.expected) << c.macro;
    testing::internal::GetCapturedStdout();
  }
  delete_range_list();
  Locate("GROSS", "B", "2", "10");
  EXPECT_EQ(get_dependencies("B", "NET", &rangeList), "ERROR");
  ExpectFlagsClear();
  try {
    get_dependencies("B", nullptr, &rangeList);
    ADD_FAILURE() << "no exception";
  } catch (const Exception& e) {
    EXPECT_EQ(e.ExceptionID, DF_ARGUMENT_MISSING);
    EXPECT_EQ(std::string(e.dumpstr).find("file: df_analysis  fn: get_dependencies"), 0u);
  }
}

TEST_F(DependencyTest, ArgumentsOfAUseReachTheInputs) {
  Add("B", "Price(item)", "");
  Add("B", "COST(what)", "Price(what)*QTY");
  Add("B", "QTY", "");
  Locate("Price(Apple)", "E", "1", "9");
  Locate("QTY", "F", "1", "9");
  EXPECT_EQ(get_dependencies("B", "COST(Apple)", &rangeList), "F;E;");
  EXPECT_EQ(get_dependencies("B", "COST(Pear)", &rangeList), "ERROR");
}

TEST_F(DependencyTest, ReferenceTooLongForItsBufferIsNotLocated) {
  Add("B", "IN", "");
  Add("B", "USE", "SUM(#IN)");
  Locate("IN", "AB", "1000", "20000");
  testing::internal::CaptureStderr();
  EXPECT_EQ(get_dependencies("B", "USE", &rangeList), "ERROR");
  EXPECT_NE(testing::internal::GetCapturedStderr().find("longer than 9"), std::string::npos);
}

TEST_F(DependencyTest, TableChangesAreSeen) {
  Add("B", "E", "LATER+1");
  EXPECT_EQ(get_dependencies("B", "E", &rangeList), "");
  Add("B", "LATER", "");
  Locate("LATER", "G", "1", "2");
  EXPECT_EQ(get_dependencies("B", "E", &rangeList), "G;");
  delete_formula_entry("B", "LATER");
  EXPECT_EQ(get_dependencies("B", "E", &rangeList), "");
}

TEST_F(DependencyTest, AllInputsPresent) {
  AddPayroll();
  Add("B", "LOOP", "LOOP+GROSS");
  Locate("GROSS", "B", "2", "10");
  const struct {
    const char* macro;
    int present;
  } cases[] = {{"NET", 0}, {"GROSS", 1}, {"RATE", 0}, {"1+X", 1}, {"LOOP", 0}};
  for (const auto& c : cases) {
    Expression* tree = StringToExpression(c.macro);
    EXPECT_EQ(check_all_input_present("B", tree, &rangeList), c.present) << c.macro;
    delete tree;
  }
  Locate("RATE", "C", "2", "10");
  Expression* tree = StringToExpression("NET");
  EXPECT_EQ(check_all_input_present("B", tree, &rangeList), 1);
  delete tree;
  ExpectFlagsClear();
}

TEST(PatternExists, Table) {
  const struct {
    const char* list;
    const char* name;
    int found;
  } cases[] = {
      {"AB;B;", "B", 1}, {"AB;B;", "AB", 1}, {"AB;B;", "A", 0}, {"F(x);G;", "F", 1}, {"F(x);G;", "G", 1},
      {"", "A", 0},      {"A", "A", 0},      {"a;", "A", 0},    {"XA;A;", "A", 1},
  };
  for (const auto& c : cases) EXPECT_EQ(pattern_exists(c.list, c.name), c.found) << c.list << " " << c.name;
}

}  // namespace
