#include "test_support.h"

std::set<std::string> array_functions;

int is_external_and_returns_array(const char* name) { return array_functions.count(name) ? 1 : 0; }

std::string shape(const Expression* node) {
  if (node == nullptr) return "null";
  if (node->operator_name.empty() && node->parameters.empty()) return "";
  if (node->operator_flag & EXPRESSION_OPERATOR) {
    std::string text = "{";
    auto child = node->parameters.begin();
    if (child != node->parameters.end()) text += shape(*child++);
    text += node->operator_name;
    if (child != node->parameters.end()) text += shape(*child);
    return text + "}";
  }
  std::string text = node->operator_name;
  if (node->parameters.empty()) return text;
  text += "(";
  for (auto child = node->parameters.begin(); child != node->parameters.end(); ++child) {
    if (child != node->parameters.begin()) text += ",";
    text += shape(*child);
  }
  return text + ")";
}

std::string full(const Expression* node) {
  if (node == nullptr) return "null";
  std::string text = node->operator_name.empty() ? "~" : node->operator_name;
  text += "/" + std::to_string(node->operator_flag);
  if (node->parameters.empty()) return text;
  text += "(";
  for (auto child = node->parameters.begin(); child != node->parameters.end(); ++child) {
    if (child != node->parameters.begin()) text += ",";
    text += full(*child);
  }
  return text + ")";
}

void FormulaTest::Reset() {
  while (!symbol_list.empty()) {
    std::string book = symbol_list.front()->book_name;
    delete_all_formula_entries(book.c_str());
  }
  delete_range_list();
  array_functions.clear();
}

void FormulaTest::Add(const char* book, const char* usage, const char* formula) {
  ASSERT_EQ(add_an_entry(book, usage, formula), 0) << book << " " << usage << " = " << formula;
}

void FormulaTest::Locate(const char* macro, const char* column, const char* begin, const char* end) {
  size_t before = rangeList.size();
  AddItem(macro, column, begin, end);
  ASSERT_EQ(rangeList.size(), before + 1) << macro;
}
