// The process-wide table of named formulae.  Each entry belongs to a book
// (a module), is named by its usage name up to the "(" and holds its formula
// parsed into an expression tree; an entry without formula is an input.
// Nothing here is locked: one formula operation at a time per process.
#ifndef VELMOR_DF_ANALYSIS_SYMBOL_TABLE_H_
#define VELMOR_DF_ANALYSIS_SYMBOL_TABLE_H_

#include <list>
#include <string>
#include <vector>

#include "expression.h"

const int kMaxFormalParameters = 16;
const int kLookupNameSize = 64;  // a lookup name, arguments included, plus NUL

// Bits of SymbolEntry::flag.
enum {
  ENTRY_IN_CYCLE_CHECK = 1,
  ENTRY_GENERATOR = 2,
  ENTRY_IN_WALK = 16,
};

class SymbolEntry;

// The formal parameters of an entry, and the actual arguments of the use
// being expanded.
class LocalEnv {
 public:
  std::string arg_buffer;                  // the usage name from its "(" on
  std::vector<Expression*> local_scope;    // not owned
  std::string args[kMaxFormalParameters];
  std::string values[kMaxFormalParameters];
  int total_args;
  int too_many_args;  // the text named more than kMaxFormalParameters

  explicit LocalEnv(const char* text);
  int locally_scoped(const char* name) const;
  Expression* find_in_scope(const char* name) const;
};

class Dependency {
 public:
  SymbolEntry* symbol;
  Expression* subExpression;  // owned

  Dependency(SymbolEntry* symbol, Expression* subExpression);
  ~Dependency();
  Dependency(const Dependency&) = delete;
  Dependency& operator=(const Dependency&) = delete;
};

typedef std::list<Dependency*> DependencyList;

class SymbolEntry {
 public:
  std::string book_name;
  std::string name;
  Expression* expression;  // owned; null for an input
  LocalEnv* local_env;     // owned; always present
  DependencyList dependencies;
  int flag;

  SymbolEntry(const char* book, const char* usage, Expression* expression);
  ~SymbolEntry();
  SymbolEntry(const SymbolEntry&) = delete;
  SymbolEntry& operator=(const SymbolEntry&) = delete;

  void SetScope(const ExpressionList* list);
  LocalEnv* GetEnv() { return local_env; }
  void mark_locally_scoped_expressions(Expression* node);
  // An entry without expression, or whose expression's root has no text.
  int is_input() const;
  void clear_dependencies();
};

typedef std::list<SymbolEntry*> SymbolList;

// Never destroyed, so entries stay reachable until the process ends.
extern SymbolList& symbol_list;      // newest first
extern std::string rewritten_string; // result text of the rewriting operations

// Adding and lookup.  add_an_entry is declared in df_interface.h.
SymbolEntry* get_symbol(const char* book, const char* name);
SymbolEntry* get_symbol_in_book(const char* book, const char* name);
void delete_formula_entry(const char* book, const char* name);
void delete_all_formula_entries(const char* book);
// Empties every entry's dependency list, so that the next dependency analysis
// sees the table as it is now.
void invalidate_dependencies();

#endif
