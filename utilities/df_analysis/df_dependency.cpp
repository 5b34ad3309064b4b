// Dependency analysis over the symbol table: the inputs an entry needs, where
// they lie on the worksheet, cycles, and the order of computation.
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include <new>

#include "df_analysis.h"

// Sets a walk flag on an entry for the life of the object.
class EntryMark {
 public:
  EntryMark(SymbolEntry* entry, int flag) : entry_(entry), flag_(flag) { entry_->flag |= flag_; }
  ~EntryMark() { entry_->flag &= ~flag_; }

 private:
  SymbolEntry* entry_;
  int flag_;
};

static SymbolEntry* named_entry(const char* book, const Expression* node) {
  if (node->operator_name.empty()) return nullptr;
  return get_symbol(book, node->operator_name.c_str());
}

int pattern_exists(const char* list, const char* name) {
  if (list == nullptr || name == nullptr || *name == '\0') return 0;
  size_t length = strlen(name);
  for (const char* p = list; (p = strstr(p, name)) != nullptr; p++) {
    int at_start = p == list || p[-1] == ';';
    if (at_start && (p[length] == ';' || p[length] == '(')) return 1;
  }
  return 0;
}

int expression_exists(const Expression* node, const DependencyList* list) {
  for (const Dependency* dependency : *list) {
    if (dependency->subExpression->Match(node)) return 1;
  }
  return 0;
}

static void add_dependency(SymbolEntry* input, const Expression* node, DependencyList* list) {
  Expression* copy = node->Create_a_copy();
  input->SetScope(&node->parameters);
  copy = term_replace(copy, input->GetEnv());
  input->SetScope(nullptr);
  if (expression_exists(copy, list)) {
    delete copy;
    return;
  }
  Dependency* dependency = new (std::nothrow) Dependency(input, copy);
  if (dependency == nullptr) {
    delete copy;
    throw Exception(DF_CREATE_FAILED, "df_analysis", "find_dependency", __LINE__);
  }
  list->push_front(dependency);
}

void find_dependency(const char* book, Expression* node, DependencyList* list) {
  if (node == nullptr) return;
  if (node->operator_flag & EXPRESSION_FORMAL) {
    printf("find_dependency ?????????? not included %s\n", node->operator_name.c_str());
    return;
  }
  SymbolEntry* entry = named_entry(book, node);
  if (entry != nullptr && (entry->is_input() || (entry->flag & ENTRY_GENERATOR))) {
    add_dependency(entry, node, list);
    return;
  }
  if (entry != nullptr) {
    if ((entry->flag & ENTRY_IN_WALK) || entry->expression == nullptr) return;
    EntryMark mark(entry, ENTRY_IN_WALK);
    for (Expression* child : entry->expression->parameters) find_dependency(book, child, list);
    find_dependency(book, entry->expression, list);
    return;
  }
  for (Expression* child : node->parameters) find_dependency(book, child, list);
}

void do_dependency_analysis() {
  for (SymbolEntry* entry : symbol_list) {
    if (!entry->dependencies.empty()) continue;
    EntryMark mark(entry, ENTRY_IN_WALK);
    find_dependency(entry->book_name.c_str(), entry->expression, &entry->dependencies);
  }
}

std::string get_dependencies(const char* book, const char* macro, const RangeList* locations) {
  if (book == nullptr || macro == nullptr) {
    throw Exception(DF_ARGUMENT_MISSING, "df_analysis", "get_dependencies", __LINE__);
  }
  rewritten_string.clear();
  SymbolEntry* entry = get_symbol(book, macro);
  if (entry == nullptr) return rewritten_string;
  // The table may have changed since the lists were filled; only empty lists
  // are recomputed.
  do_dependency_analysis();
  Expression* tree = StringToMacroExpression(macro);
  entry->SetScope(tree != nullptr ? &tree->parameters : nullptr);
  std::string result;
  for (const Dependency* dependency : entry->dependencies) {
    Expression* term = term_replace(dependency->subExpression->Create_a_copy(), entry->GetEnv());
    const char* reference = locations != nullptr ? find_column(term, locations, "") : nullptr;
    delete term;
    if (reference == nullptr) {
      result = "ERROR";
      break;
    }
    result += reference;
    result += ";";
  }
  entry->SetScope(nullptr);
  delete tree;
  rewritten_string = result;
  return rewritten_string;
}

static int cyclic_reference(const char* book, const Expression* node) {
  if (node == nullptr) return 0;
  SymbolEntry* entry = named_entry(book, node);
  if (entry != nullptr) {
    if (entry->flag & ENTRY_IN_CYCLE_CHECK) return 1;
    EntryMark mark(entry, ENTRY_IN_CYCLE_CHECK);
    return entry->expression != nullptr ? cyclic_reference(book, entry->expression) : 0;
  }
  if (strcasecmp(node->operator_name.c_str(), "offset") == 0) return 0;
  for (const Expression* child : node->parameters) {
    if (cyclic_reference(book, child)) return 1;
  }
  return 0;
}

int check_cyclic_reference(const char* book, const char* name) {
  if (book == nullptr || name == nullptr) {
    throw Exception(DF_ARGUMENT_MISSING, "df_analysis", "check_cyclic_reference", __LINE__);
  }
  SymbolEntry* entry = get_symbol(book, name);
  if (entry == nullptr || entry->expression == nullptr) return 0;
  return cyclic_reference(book, entry->expression);
}

int check_all_input_present(const char* book, const Expression* node, const RangeList* locations) {
  if (node == nullptr) return 1;
  SymbolEntry* entry = named_entry(book, node);
  if (entry != nullptr && !entry->is_input() && !(entry->flag & ENTRY_IN_WALK)) {
    EntryMark mark(entry, ENTRY_IN_WALK);
    if (!check_all_input_present(book, entry->expression, locations)) return 0;
    for (const Expression* child : entry->expression->parameters) {
      if (!check_all_input_present(book, child, locations)) return 0;
    }
    return 1;
  }
  if (entry != nullptr) return find_column(node, locations, "1") != nullptr;
  for (const Expression* child : node->parameters) {
    if (!check_all_input_present(book, child, locations)) return 0;
  }
  return 1;
}

static void add_name(const std::string& name) {
  if (pattern_exists(rewritten_string.c_str(), name.c_str())) return;
  rewritten_string += name;
  rewritten_string += ";";
}

static void find_order(const char* book, const Expression* node) {
  if (node == nullptr) return;
  SymbolEntry* entry = named_entry(book, node);
  if (entry == nullptr) {
    for (const Expression* child : node->parameters) find_order(book, child);
    return;
  }
  if (entry->is_input()) {
    add_name(entry->name);
    return;
  }
  if (entry->flag & ENTRY_IN_WALK) return;
  {
    EntryMark mark(entry, ENTRY_IN_WALK);
    find_order(book, entry->expression);
    for (const Expression* child : entry->expression->parameters) find_order(book, child);
  }
  add_name(entry->name);
}

std::string get_dependency_order(const char* book) {
  rewritten_string.clear();
  if (book == nullptr) return rewritten_string;
  for (SymbolEntry* entry : symbol_list) {
    if (strcasecmp(entry->book_name.c_str(), book) != 0) continue;
    {
      EntryMark mark(entry, ENTRY_IN_WALK);
      find_order(book, entry->expression);
    }
    add_name(entry->name);
  }
  return rewritten_string;
}

void debug_dependency_results() {
  for (const SymbolEntry* entry : symbol_list) {
    printf("\nSymbol : %s & dependencies : ", entry->name.c_str());
    for (const Dependency* dependency : entry->dependencies) dependency->subExpression->print();
    printf("\n");
  }
}
