// Helpers shared by the formula tests: compact printed forms of trees and a
// fixture that starts every test with an empty symbol table.
#ifndef VELMOR_DF_ANALYSIS_TESTS_TEST_SUPPORT_H_
#define VELMOR_DF_ANALYSIS_TESTS_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "df_analysis.h"

// Infix with every operator node in braces: a+b*c is "{a+{b*c}}", -a is
// "{-a}", a% is "{a%}", a call is "F(x,y)".
std::string shape(const Expression* node);
// Every node as text/flag(children), the empty text as "~": -5 is
// "-/1(~/1,5/0)".
std::string full(const Expression* node);

// Names the fake registry reports as array-returning external functions.
extern std::set<std::string> array_functions;

class FormulaTest : public ::testing::Test {
 protected:
  void SetUp() override { Reset(); }
  void TearDown() override { Reset(); }
  static void Reset();
  // Adds one entry, failing the test when it is rejected.
  static void Add(const char* book, const char* usage, const char* formula);
  static void Locate(const char* macro, const char* column, const char* begin, const char* end);
};

#endif
