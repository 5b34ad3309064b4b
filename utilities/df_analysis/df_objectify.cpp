// Writing entries back for a client, and finding the links in them.
#include <string.h>
#include <strings.h>

#include "df_analysis.h"

static void translate_object_expression(const char* book, const Expression* node, int generator);

// A book qualifier is written back as [Book]; every other operator sits
// between its operands.
static void translate_operator(const char* book, const Expression* node, int generator) {
  int parenthesised = node->operator_flag & EXPRESSION_PARENTHESISED;
  int bracketed = node->operator_name == "[]";
  auto child = node->parameters.begin();
  if (parenthesised) rewritten_string += "( ";
  if (bracketed) rewritten_string += "[";
  if (child != node->parameters.end()) translate_object_expression(book, *child++, generator);
  rewritten_string += bracketed ? "]" : node->operator_name.c_str();
  if (child != node->parameters.end()) translate_object_expression(book, *child, generator);
  if (parenthesised) rewritten_string += " )";
}

static void translate_object_expression(const char* book, const Expression* node, int generator) {
  if (node->operator_flag & EXPRESSION_OPERATOR) {
    translate_operator(book, node, generator);
    return;
  }
  const char* text = node->operator_name.c_str();
  if (*text != '\0' && get_symbol(book, text) != nullptr) {
    rewritten_string += book;
    rewritten_string += ".";
  } else if (generator && *text != '\0' && is_external_and_returns_array(text)) {
    rewritten_string += "gen_";
  }
  rewritten_string += text;
  if (node->parameters.empty()) return;
  rewritten_string += "(";
  const char* separator = "";
  for (const Expression* child : node->parameters) {
    rewritten_string += separator;
    translate_object_expression(book, child, generator);
    separator = ", ";
  }
  rewritten_string += ")";
}

std::string objectify_an_entry(const char* book, const char* name, int is_generator) {
  if (book == nullptr || name == nullptr) {
    throw Exception(DF_ARGUMENT_MISSING, "df_resolve", "objectify_an_entry", __LINE__);
  }
  rewritten_string.clear();
  SymbolEntry* entry = get_symbol(book, name);
  if (entry != nullptr && entry->expression != nullptr) {
    translate_object_expression(book, entry->expression, is_generator);
  }
  return rewritten_string;
}

static int dde_walk(const Expression* node, int in_link) {
  if (node->operator_name.empty()) return in_link;
  if (in_link && node->operator_name == "!") return 1;
  if (node->operator_name == "|") in_link = 1;
  for (const Expression* child : node->parameters) {
    if (dde_walk(child, in_link)) return 1;
  }
  return 0;
}

int isDDE(const char* book, const char* name) {
  SymbolEntry* entry = get_symbol(book, name);
  if (entry == nullptr || entry->expression == nullptr) return 0;
  return dde_walk(entry->expression, 0);
}

int this_work_book(const char* name) {
  return name != nullptr && (strcasecmp(name, "this") == 0 || strcasecmp(name, "thisbook") == 0 ||
                             strcasecmp(name, "thisworkbook") == 0);
}

static void find_dependency_file(const char* book, const Expression* node, int named) {
  const std::string& op = node->operator_name;
  int names_book = (node->operator_flag & EXPRESSION_OPERATOR) && (op == "[]" || (op == "!" && !named));
  if (names_book && !node->parameters.empty()) {
    const char* file = node->parameters.front()->operator_name.c_str();
    if (this_work_book(file)) file = book;
    if (!pattern_exists(rewritten_string.c_str(), file)) {
      rewritten_string += file;
      rewritten_string += ";";
    }
  }
  int child_named = (node->operator_flag & EXPRESSION_OPERATOR) && (op == "|" || op == "[]");
  for (const Expression* child : node->parameters) find_dependency_file(book, child, child_named);
}

std::string get_link_files(const char* book) {
  rewritten_string.clear();
  if (book == nullptr) return rewritten_string;
  for (const SymbolEntry* entry : symbol_list) {
    if (entry->expression == nullptr || strcasecmp(entry->book_name.c_str(), book) != 0) continue;
    find_dependency_file(book, entry->expression, 0);
  }
  return rewritten_string;
}
