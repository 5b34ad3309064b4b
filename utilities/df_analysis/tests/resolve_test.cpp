// Resolution of macros into worksheet formulae, and the term operations
// behind it.
#include <string>

#include "test_support.h"

namespace {

class ResolveTest : public FormulaTest {
 protected:
  std::string Resolve(const char* book, const char* macro, const char* context) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    std::string result = start_resolve_an_entry(book, macro, context, &rangeList);
    testing::internal::GetCapturedStdout();
    last_stderr_ = testing::internal::GetCapturedStderr();
    return result;
  }
  std::string last_stderr_;
};

TEST_F(ResolveTest, LocatedTerms) {
  Locate("Price(Item)", "B", "2", "10");
  Locate("Row", "5", "A", "F");
  Locate("Qty", "C", "2", "10");
  const struct {
    const char* macro;
    const char* context;
    const char* expected;
  } cases[] = {
      {"Price(Item)", "7", "B7"},
      {"#Price", "7", "B2:B10"},
      {"#Price", "", "B2:B10"},
      {"Price", "7", "B7"},           // a term without arguments matches any use
      {"Price(Other)", "7", "Price(Other)"},
      {"Row", "C", "C5"},
      {"#Row", "C", "A5:F5"},
      {"Qty", "", "C"},
      {"Unknown(Qty)", "3", "Unknown(C3)"},
  };
  for (const auto& c : cases) EXPECT_EQ(Resolve("B", c.macro, c.context), c.expected) << c.macro;
}

TEST_F(ResolveTest, ExpansionPassByPass) {
  Add("B", "GROSS", "");
  Add("B", "RATE", "");
  Add("B", "TAX", "GROSS*RATE");
  Add("B", "NET", "GROSS-TAX");
  Add("B", "HALF(x)", "x/2");
  Add("B", "WRAP(y)", "HALF(y)+NET");
  Add("B", "GROUPED", "(GROSS+RATE)*2");
  Add("B", "LINKED", "thisbook!A1+[Other]S!B2");
  Locate("GROSS", "B", "1", "9");
  Locate("RATE", "C", "1", "9");
  const struct {
    const char* macro;
    const char* expected;
  } cases[] = {
      {"NET", "B7-(B7*C7)"},
      {"TAX", "B7*C7"},
      {"HALF(GROSS)", "B7/2"},
      {"WRAP(RATE)", "(C7/2)+(B7-(B7*C7))"},
      {"GROUPED", "(B7+C7)*2"},
      {"LINKED", "B!A1+[Other]S!B2"},
      {"GROSS(1, x)", "GROSS(1,x)"},  // an input is written back as parsed
      {"#GROSS", "#GROSS"},
      {"NOENTRY", "NOENTRY"},
  };
  for (const auto& c : cases) EXPECT_EQ(Resolve("B", c.macro, "7"), c.expected) << c.macro;
}

TEST_F(ResolveTest, GeneratorCalls) {
  Add("B", "GROSS", "");
  Add("B", "LOST", "");
  Add("B_GEN_", "GEN", "GROSS*2");
  Add("B_GEN_", "GENLOST", "LOST*2");
  Add("B_GEN_", "PLAIN", "X+1");
  Locate("GROSS", "B", "1", "9");
  const struct {
    const char* book;
    const char* macro;
    const char* expected;
  } cases[] = {
      {"B", "GEN", "GEN"},            // an ordinary call of a generator entry
      {"B_GEN_", "GEN", "B7*2"},
      {"b_gen_", "GEN", "B7*2"},
      {"B_GEN_", "GENLOST", "GENLOST"},  // an input that cannot be located
      {"B_GEN_", "PLAIN", "X+1"},
      {"B_GEN_", "NOENTRY(1)", "NOENTRY(1)"},
      {"B_GEN_", "F(", "F("},
  };
  for (const auto& c : cases) EXPECT_EQ(Resolve(c.book, c.macro, "7"), c.expected) << c.book << " " << c.macro;
  testing::internal::CaptureStdout();
  EXPECT_EQ(start_resolve_a_validator("B", "GEN", "7", &rangeList), "B7*2");
  testing::internal::GetCapturedStdout();
}

TEST_F(ResolveTest, UnparsableMacroIsReturnedUnchanged) {
  Locate("X", "B", "1", "2");
  for (const char* macro : {"F(a", "", "F(a))", "A\tB"}) EXPECT_EQ(Resolve("B", macro, "1"), macro) << macro;
  std::string long_macro(2000, 'm');
  EXPECT_EQ(Resolve("B", long_macro.c_str(), "1"), long_macro);
}

TEST_F(ResolveTest, CyclicFormulaeDoNotResolveForEver) {
  Add("B", "A", "B+1");
  Add("B", "B", "A*2");
  Locate("X", "B", "1", "2");
  EXPECT_EQ(Resolve("B", "A", "1"), "A");
  EXPECT_NE(last_stderr_.find("does not end"), std::string::npos);
}

TEST_F(ResolveTest, ArgumentChecks) {
  Locate("X", "B", "1", "2");
  RangeList empty;
  const struct {
    const char* book;
    const char* macro;
    const char* context;
    const RangeList* locations;
  } cases[] = {
      {nullptr, "X", "1", &rangeList}, {"B", nullptr, "1", &rangeList}, {"B", "X", nullptr, &rangeList},
      {"B", "X", "1", nullptr},        {"B", "X", "1", &empty},
  };
  for (const auto& c : cases) {
    for (int validator = 0; validator < 2; validator++) {
      try {
        if (validator) {
          start_resolve_a_validator(c.book, c.macro, c.context, c.locations);
        } else {
          start_resolve_an_entry(c.book, c.macro, c.context, c.locations);
        }
        ADD_FAILURE() << "no exception";
      } catch (const Exception& e) {
        EXPECT_EQ(e.ExceptionID, DF_ARGUMENT_MISSING);
        EXPECT_EQ(std::string(e.dumpstr).find("file: df_resolve  fn: start_resolve_a"), 0u);
      }
    }
  }
  std::string book251(251, 'b');
  EXPECT_EQ(Resolve(book251.c_str(), "X", "1"), "B1");
  std::string book252(252, 'b');
  try {
    start_resolve_an_entry(book252.c_str(), "X", "1", &rangeList);
    ADD_FAILURE() << "no exception";
  } catch (const Exception& e) {
    EXPECT_EQ(e.ExceptionID, DF_BOOK_NAME_TOO_LONG);
  }
}

TEST_F(ResolveTest, FindColumn) {
  Locate("Price(Item)", "B", "2", "10");
  Locate("Row", "5", "A", "F");
  Locate("Wide", "AB", "1000", "20000");
  Locate("Far", "XFD", "1", "9");
  const struct {
    const char* term;
    const char* context;
    const char* expected;  // null: not located
  } cases[] = {
      {"Price(Item)", "7", "B7"},
      {"price(ITEM)", "", "B"},
      {"Price", "7", nullptr},  // one level of arguments must agree
      {"Price(Item, x)", "7", nullptr},
      {"#Price", "7", "B2:B10"},
      {"#Price(Other)", "7", "B2:B10"},
      {"Row", "C", "C5"},
      {"#Row", "", "A5:F5"},
      {"Far", "123456", "XFD123456"},
      {"Far", "1234567", nullptr},  // would need 10 characters
      {"#Wide", "", nullptr},       // AB1000:AB20000 does not fit
      {"Wide", "1", "AB1"},
      {"Nowhere", "1", nullptr},
  };
  for (const auto& c : cases) {
    testing::internal::CaptureStdout();
    Expression* term = StringToMacroExpression(c.term);
    testing::internal::GetCapturedStdout();
    ASSERT_NE(term, nullptr) << c.term;
    testing::internal::CaptureStderr();
    const char* reference = find_column(term, &rangeList, c.context);
    testing::internal::GetCapturedStderr();
    if (c.expected) {
      EXPECT_STREQ(reference, c.expected) << c.term;
    } else {
      EXPECT_EQ(reference, nullptr) << c.term << " gave " << reference;
    }
    delete term;
  }
}

TEST_F(ResolveTest, TermReplaceAndExpand) {
  Add("B", "F(a, b)", "a*b+G(a)");
  Add("B", "G(z)", "z-1");
  SymbolEntry* entry = get_symbol("B", "F");
  Expression* use = StringToMacroExpression("F(x(1), y)");
  entry->SetScope(&use->parameters);
  Expression* replaced = term_replace(entry->expression->Create_a_copy(), entry->GetEnv());
  EXPECT_EQ(shape(replaced), "{{x(1)*y}+G(x(1))}");
  delete replaced;

  int count = 0;
  Expression* tree = term_expand("B", use, &count);  // deletes `use`
  EXPECT_EQ(count, 1);
  EXPECT_EQ(shape(tree), "{{x(1)*y}+G(x(1))}");
  EXPECT_TRUE(tree->operator_flag & EXPRESSION_PARENTHESISED);
  count = 0;
  tree = term_expand("B", tree, &count);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(shape(tree), "{{x(1)*y}+{x(1)-1}}");
  count = 0;
  tree = term_expand("B", tree, &count);
  EXPECT_EQ(count, 0);
  delete tree;
}

}  // namespace
