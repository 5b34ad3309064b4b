#include "expression.h"

#include <stdio.h>
#include <strings.h>

#include <new>

#include "df_exception.h"

Expression::Expression(const char* text, int flag)
    : operator_name(text ? text : ""), operator_flag(static_cast<unsigned char>(flag)) {}

Expression::~Expression() {
  for (Expression* child : parameters) delete child;
}

void Expression::SetParameters(ExpressionList* list) {
  if (list == nullptr) return;
  for (Expression* child : parameters) delete child;
  parameters.clear();
  parameters.splice(parameters.end(), *list);
  delete list;
}

Expression* Expression::Create_a_copy() const {
  Expression* copy = CreateExpression(operator_name.c_str(), operator_flag);
  for (const Expression* child : parameters) copy->parameters.push_back(child->Create_a_copy());
  return copy;
}

int Expression::Match(const Expression* other) const {
  if (other == nullptr) return 0;
  const char* text = operator_name.c_str();
  if (*text == '#') text++;
  if (strcasecmp(text, other->operator_name.c_str()) != 0) return 0;
  if (parameters.empty()) return 1;
  if (parameters.size() != other->parameters.size()) return 0;
  auto theirs = other->parameters.begin();
  for (const Expression* mine : parameters) {
    if (!mine->Match(*theirs++)) return 0;
  }
  return 1;
}

void Expression::print() const {
  if (operator_flag & EXPRESSION_OPERATOR) {
    auto child = parameters.begin();
    printf("( ");
    if (child != parameters.end()) (*child++)->print();
    printf("%s ", operator_name.c_str());
    if (child != parameters.end()) (*child)->print();
    printf(" )");
    return;
  }
  printf("%s ", operator_name.c_str());
  if (parameters.empty()) return;
  printf("(");
  const char* separator = "";
  for (const Expression* child : parameters) {
    printf("%s", separator);
    child->print();
    separator = ", ";
  }
  printf(")");
}

Expression* CreateExpression(const char* text, int flag) {
  Expression* node = new (std::nothrow) Expression(text, flag);
  if (node == nullptr) throw Exception(DF_CREATE_FAILED, "df_analysis", "CreateExpression", __LINE__);
  return node;
}

void SetFlag(Expression* node, int flag) {
  if (node != nullptr) node->operator_flag |= static_cast<unsigned char>(flag);
}

ExpressionList* AppendParameters(Expression* node, ExpressionList* list) {
  if (list == nullptr) {
    list = new (std::nothrow) ExpressionList;
    if (list == nullptr) {
      delete node;
      throw Exception(DF_CREATE_FAILED, "df_analysis", "AppendParameters", __LINE__);
    }
  }
  list->push_front(node);
  return list;
}

Expression* CompleteExpression(Expression* node, ExpressionList* list) {
  node->SetParameters(list);
  return node;
}

void DeleteExpressionList(ExpressionList* list) {
  if (list == nullptr) return;
  for (Expression* node : *list) delete node;
  delete list;
}

void macro_expand(Expression* node, const char* const* names, const char* replacement) {
  if (node == nullptr || names == nullptr) return;
  for (const char* const* name = names; *name != nullptr; name++) {
    if (strcasecmp(node->operator_name.c_str(), *name) == 0) {
      node->operator_name = replacement ? replacement : "";
      break;
    }
  }
  for (Expression* child : node->parameters) macro_expand(child, names, replacement);
}
