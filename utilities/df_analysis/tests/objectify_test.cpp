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
