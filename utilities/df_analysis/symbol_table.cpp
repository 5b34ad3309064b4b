#include "symbol_table.h"

#include <stdio.h>
#include <string.h>
#include <strings.h>

#include <new>

#include "df_exception.h"
#include "df_interface.h"
#include "parsers.h"

SymbolList& symbol_list = *new SymbolList;
std::string rewritten_string;

static const char kGeneratorSuffix[] = "_GEN_";
static const size_t kGeneratorSuffixLength = 5;
static const size_t kMaxGeneratorBookLength = 260;

static int is_blank(char c) { return c == ' ' || c == '\t'; }

// The name part of a usage name or lookup name: up to the first "(", without
// the blanks and tabs before it.
static std::string usage_name_part(const char* usage) {
  const char* paren = strchr(usage, '(');
  size_t length = paren ? static_cast<size_t>(paren - usage) : strlen(usage);
  while (length > 0 && is_blank(usage[length - 1])) length--;
  return std::string(usage, length);
}

LocalEnv::LocalEnv(const char* text) : total_args(0), too_many_args(0) {
  const char* paren = text ? strchr(text, '(') : nullptr;
  if (paren == nullptr) return;
  arg_buffer = paren;
  const char* p = paren + 1;
  for (;;) {
    while (is_blank(*p) || *p == ',') p++;
    size_t length = strcspn(p, " ,)\t");
    if (length == 0) break;
    if (total_args == kMaxFormalParameters) {
      too_many_args = 1;
      break;
    }
    args[total_args].assign(p, length);
    values[total_args].clear();
    total_args++;
    p += length;
  }
}

int LocalEnv::locally_scoped(const char* name) const {
  for (int i = 0; i < total_args; i++) {
    if (strcasecmp(args[i].c_str(), name) == 0) return 1;
  }
  return 0;
}

Expression* LocalEnv::find_in_scope(const char* name) const {
  for (int i = 0; i < total_args; i++) {
    if (strcasecmp(args[i].c_str(), name) != 0) continue;
    if (static_cast<size_t>(i) < local_scope.size()) return local_scope[i];
    return nullptr;
  }
  return nullptr;
}

Dependency::Dependency(SymbolEntry* symbol, Expression* subExpression)
    : symbol(symbol), subExpression(subExpression) {}

Dependency::~Dependency() { delete subExpression; }

SymbolEntry::SymbolEntry(const char* book, const char* usage, Expression* expression)
    : book_name(book), name(usage_name_part(usage)), expression(expression), local_env(nullptr), flag(0) {
  local_env = new (std::nothrow) LocalEnv(usage);
  if (local_env == nullptr) throw Exception(DF_CREATE_FAILED, "df_analysis", "SymbolEntry", __LINE__);
  mark_locally_scoped_expressions(expression);
}

SymbolEntry::~SymbolEntry() {
  clear_dependencies();
  delete expression;
  delete local_env;
}

void SymbolEntry::SetScope(const ExpressionList* list) {
  local_env->local_scope.clear();
  if (list != nullptr) local_env->local_scope.assign(list->begin(), list->end());
}

void SymbolEntry::mark_locally_scoped_expressions(Expression* node) {
  if (node == nullptr) return;
  if (local_env->locally_scoped(node->operator_name.c_str())) SetFlag(node, EXPRESSION_FORMAL);
  for (Expression* child : node->parameters) mark_locally_scoped_expressions(child);
}

int SymbolEntry::is_input() const {
  return expression == nullptr || expression->operator_name.empty();
}

void SymbolEntry::clear_dependencies() {
  for (Dependency* dependency : dependencies) delete dependency;
  dependencies.clear();
}

void invalidate_dependencies() {
  for (SymbolEntry* entry : symbol_list) entry->clear_dependencies();
}

SymbolEntry* get_symbol(const char* book, const char* name) {
  if (book == nullptr || name == nullptr) return nullptr;
  if (strlen(name) >= static_cast<size_t>(kLookupNameSize)) return nullptr;
  std::string wanted = usage_name_part(name);
  const char* key = wanted.c_str();
  if (*key == '#') key++;
  for (SymbolEntry* entry : symbol_list) {
    if (strcasecmp(entry->book_name.c_str(), book) == 0 && strcasecmp(entry->name.c_str(), key) == 0) {
      return entry;
    }
  }
  return nullptr;
}

SymbolEntry* get_symbol_in_book(const char* book, const char* name) {
  if (book == nullptr || name == nullptr) return nullptr;
  int any = strcmp(name, "*") == 0;
  for (SymbolEntry* entry : symbol_list) {
    if (strcasecmp(entry->book_name.c_str(), book) != 0) continue;
    if (any || strcasecmp(entry->name.c_str(), name) == 0) return entry;
  }
  return nullptr;
}

static void remove_entry(SymbolEntry* entry) {
  symbol_list.remove(entry);
  delete entry;
  // Other entries' dependency records may point at the removed entry.
  invalidate_dependencies();
}

void delete_formula_entry(const char* book, const char* name) {
  SymbolEntry* entry = get_symbol(book, name);
  if (entry != nullptr) remove_entry(entry);
}

void delete_all_formula_entries(const char* book) {
  if (book == nullptr) return;
  SymbolEntry* entry;
  while ((entry = get_symbol_in_book(book, "*")) != nullptr) remove_entry(entry);
}

int add_an_entry(const char* book, const char* name, const char* formula) {
  if (book == nullptr || name == nullptr || *name == '\0') {
    throw Exception(DF_ARGUMENT_MISSING, "df_analysis", "add_an_entry", __LINE__);
  }
  size_t book_length = strlen(book);
  int generator = book_length > kGeneratorSuffixLength &&
                  strcasecmp(book + book_length - kGeneratorSuffixLength, kGeneratorSuffix) == 0;
  if (generator) {
    if (book_length > kMaxGeneratorBookLength) {
      throw Exception(DF_BOOK_NAME_TOO_LONG, "df_analysis", "add_an_entry", __LINE__);
    }
    book_length -= kGeneratorSuffixLength;
  }
  std::string book_name(book, book_length);

  if (strlen(name) >= static_cast<size_t>(kLookupNameSize)) {
    fprintf(stderr, "Formula name '%s' is longer than %d characters, not added.\n", name, kLookupNameSize - 1);
    return 1;
  }
  SymbolEntry* existing = get_symbol(book_name.c_str(), name);
  if (existing != nullptr && !generator) return 0;

  Expression* tree = nullptr;
  if (formula != nullptr && *formula != '\0') {
    tree = StringToExpression(formula);
    if (tree == nullptr) return 1;
  }
  SymbolEntry* entry = new (std::nothrow) SymbolEntry(book_name.c_str(), name, tree);
  if (entry == nullptr) {
    delete tree;
    throw Exception(DF_CREATE_FAILED, "df_analysis", "add_an_entry", __LINE__);
  }
  if (entry->GetEnv()->too_many_args) {
    fprintf(stderr, "Formula '%s' has more than %d formal parameters, not added.\n", name, kMaxFormalParameters);
    delete entry;
    return 1;
  }
  // A generator replaces the older entry only once the new one is complete.
  if (existing != nullptr) remove_entry(existing);
  if (generator) entry->flag |= ENTRY_GENERATOR;
  symbol_list.push_front(entry);
  invalidate_dependencies();
  return 0;
}
