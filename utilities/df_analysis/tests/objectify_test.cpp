// Objectifying entries for a client, DDE detection and linked workbooks.
#include "test_support.h"

namespace {

class ObjectifyTest : public FormulaTest {};

TEST_F(ObjectifyTest, Objectify) {
  Add("SALES", "GROSS", "");
  Add("SALES", "TAX", "GROSS*RATE");
  Add("SALES", "NET", "NET*(1+TAX)");
  Add("SALES", "ALIAS", "TAX");
  Add("SALES", "PLAIN", "SUM(A1:A3)/Other");
  Add("SALES", "NEG", "-x");
  Add("SALES", "CALLS", "GETDATA(a, TAX)");
  Add("SALES", "TEXT", "\"GROSS\"&'x'");
  Add("SALES", "LINKED", "[Prices]Sheet1!A1*TAX+app|topic!item");
  array_functions = {"GETDATA"};
  const struct {
    const char* name;
    int generator;
    const char* expected;
  } cases[] = {
      {"NET", 0, "SALES.NET*( 1+SALES.TAX )"},
      {"ALIAS", 0, "SALES.TAX"},
      {"TAX", 0, "SALES.GROSS*RATE"},
      {"PLAIN", 0, "SUM(A1:A3)/Other"},
      {"NEG", 0, "-x"},
      {"CALLS", 0, "GETDATA(a, SALES.TAX)"},
      {"CALLS", 1, "gen_GETDATA(a, SALES.TAX)"},
      {"TEXT", 0, "\"GROSS\"&'x'"},
      {"LINKED", 0, "[Prices]Sheet1!A1*SALES.TAX+app|topic!item"},
      {"GROSS", 0, ""},    // an input has no formula
      {"MISSING", 0, ""},
      {"net(1)", 0, "SALES.NET*( 1+SALES.TAX )"},
  };
  for (const auto& c : cases) EXPECT_EQ(objectify_an_entry("SALES", c.name, c.generator), c.expected) << c.name;
  EXPECT_EQ(objectify_an_entry("sales", "NET", 0), "sales.NET*( 1+sales.TAX )");
  EXPECT_EQ(rewritten_string, "sales.NET*( 1+sales.TAX )");
}

TEST_F(ObjectifyTest, GeneratorEntriesObjectifyLikeOthers) {
  Add("M_GEN_", "FILL(n)", "GETROWS(n)*SCALE");
  Add("M", "SCALE", "2");
  array_functions = {"GETROWS"};
  EXPECT_EQ(objectify_an_entry("M", "FILL", 1), "gen_GETROWS(n)*M.SCALE");
  EXPECT_EQ(objectify_an_entry("M", "FILL", 0), "GETROWS(n)*M.SCALE");
}

// The formulae of the employee sample, entered as the registry enters them.
TEST_F(ObjectifyTest, SampleDefinitionFormulae) {
  Add("sample_employee_db", "GROSS_PAY(salary, bonus)", "salary + bonus");
  Add("sample_employee_db", "NET_PAY(salary, bonus, tax)", "GROSS_PAY(salary, bonus) - tax");
  Add("sample_employee_db", "HEADCOUNT", "COUNTA(Employees!A:A)");
  Add("sample_employee_db_GEN_", "PAYROLL_TABLE", "get_db(Employees!A1)");
  array_functions = {"get_db"};
  const struct {
    const char* usage;
    int generator;
    const char* expected;
  } cases[] = {
      {"GROSS_PAY(salary, bonus)", 0, "salary+bonus"},
      {"NET_PAY(salary, bonus, tax)", 0, "sample_employee_db.GROSS_PAY(salary, bonus)-tax"},
      {"HEADCOUNT", 0, "COUNTA(Employees!A:A)"},
      {"PAYROLL_TABLE", 1, "gen_get_db(Employees!A1)"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(objectify_an_entry("sample_employee_db", c.usage, c.generator), c.expected) << c.usage;
  }
}

TEST_F(ObjectifyTest, ObjectifyNeedsBookAndName) {
  for (int which = 0; which < 2; which++) {
    try {
      objectify_an_entry(which ? "B" : nullptr, which ? nullptr : "N", 0);
      ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
      EXPECT_EQ(e.ExceptionID, DF_ARGUMENT_MISSING);
      EXPECT_NE(std::string(e.dumpstr).find("file: df_resolve  fn: objectify_an_entry"), std::string::npos);
    }
  }
}

TEST_F(ObjectifyTest, DDE) {
  Add("B", "LINK", "app|topic!item");
  Add("B", "LINK2", "1+app|topic!item");
  Add("B", "NOLINK", "Sheet1!A1");
  Add("B", "NOITEM", "app|topic");
  Add("B", "INPUT", "");
  const struct {
    const char* name;
    int dde;
  } cases[] = {{"LINK", 1}, {"LINK2", 1}, {"NOLINK", 0}, {"NOITEM", 0}, {"INPUT", 0}, {"NONE", 0}};
  for (const auto& c : cases) EXPECT_EQ(isDDE("B", c.name), c.dde) << c.name;
}

TEST_F(ObjectifyTest, LinkedWorkbooks) {
  Add("B", "P", "[Prices]Sheet1!A1*2");
  Add("B", "Q", "[Prices]Sheet1!B1+[Rates]S!A1");
  Add("B", "R", "thisbook!X+app|topic!item");
  Add("B", "S", "[ThisWorkbook]S!A1");
  Add("B", "IN", "");
  Add("OTHER", "T", "[Elsewhere]S!A1");
  std::string files = get_link_files("B");
  // Entries are walked newest first.
  EXPECT_EQ(files, "B;Prices;Rates;");
  EXPECT_EQ(get_link_files("NOBOOK"), "");
  EXPECT_TRUE(this_work_book("THIS"));
  EXPECT_TRUE(this_work_book("thisWorkBook"));
  EXPECT_FALSE(this_work_book("thisbooks"));
  EXPECT_FALSE(this_work_book(nullptr));
}

}  // namespace
