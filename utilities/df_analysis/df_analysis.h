// The whole interface of formula analysis: the symbol table, rewriting and
// resolution of entries, and dependency analysis.  Results are built in
// rewritten_string and returned as copies.  Nothing here is locked: one
// operation at a time per process.
#ifndef VELMOR_DF_ANALYSIS_DF_ANALYSIS_H_
#define VELMOR_DF_ANALYSIS_DF_ANALYSIS_H_

#include <string>

#include "df_exception.h"
#include "df_interface.h"
#include "expression.h"
#include "location_list.h"
#include "parsers.h"
#include "symbol_table.h"

// Link inspection.
int isDDE(const char* book, const char* name);
std::string get_link_files(const char* book);  // "Book;Other;"
int this_work_book(const char* name);

// Resolution of a macro against the worksheet locations.  `context` is the
// current row number or column letter, or "".  The start operations throw
// Exception 5001 for a null book, macro or context or an empty location list,
// 5002 for a book over 251 characters.  A macro that does not parse, an
// ordinary call of a generator entry and a generator call ("_GEN_" book)
// whose entry is unknown or whose inputs cannot all be located give the macro
// text unchanged.
std::string start_resolve_an_entry(const char* book, const char* macro, const char* context,
                                   const RangeList* locations);
std::string start_resolve_a_validator(const char* book, const char* macro, const char* context,
                                      const RangeList* locations);
std::string resolve_an_entry(const char* book, const char* macro, const char* context,
                             const RangeList* locations);

// Term operations.  term_expand and term_replace return the node to keep;
// when it is not the node given, the given node has been deleted.
Expression* term_expand(const char* book, Expression* node, int* count);
Expression* term_replace(Expression* node, LocalEnv* environment);
void term_match(Expression* node, const RangeList* locations, const char* context);
// The cell reference of the node's location, or null when no location fits
// or the reference does not fit its 10-character buffer.  Valid until the
// next call.
const char* find_column(const Expression* node, const RangeList* locations, const char* context);
void rewrite(const char* book, const Expression* node, const char* context, const RangeList* locations);

// Dependency analysis.
void do_dependency_analysis();
void find_dependency(const char* book, Expression* node, DependencyList* list);
int expression_exists(const Expression* node, const DependencyList* list);
std::string get_dependencies(const char* book, const char* macro, const RangeList* locations);
int check_cyclic_reference(const char* book, const char* name);
int check_all_input_present(const char* book, const Expression* node, const RangeList* locations);
std::string get_dependency_order(const char* book);
int pattern_exists(const char* list, const char* name);
void debug_dependency_results();

#endif
