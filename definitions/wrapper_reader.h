// The wrapper-side definition reader: collects the libraries, declarations
// and declaration texts of a definition file for the stub and VBA writers.
// Same scanner and grammar as the server-side reader; only what it records
// differs.
#ifndef VELMOR_DEFINITIONS_WRAPPER_READER_H_
#define VELMOR_DEFINITIONS_WRAPPER_READER_H_

#include <stddef.h>
#include <stdio.h>

#include "definition_scanner.h"
#include "externals.h"

enum { MODULE_PATH_LIMIT = 515 };

// Declarations of the file being generated, newest first; emptied by each
// wp_read_file.
extern Llist<ExternDefinition*>* wp_ltype;
extern Llist<ExternDefinition*>* wp_lfun;
extern Llist<ExternDefinition*>* wp_lthread;
extern Llist<ExternDefinition*>* wp_llive_thread;

// Libraries of all files read, in file order; never emptied, but a file
// read again may replace its own entries (forget_libraries_of).
extern Lib* lstart;

// Removes from lstart the entries that definition_file listed: those up to
// and including last_old when old is true (what the file listed before it
// was read again), else those after it (what the last reading added). A
// null last_old stands before the first entry. The entries are not freed:
// a reader may still hold their texts.
void forget_libraries_of(const char* definition_file, Lib* last_old, bool old);

// The last entry of lstart (null when empty): the mark that tells a file's
// entries before and after it was read again.
Lib* last_library();
// Declaration texts of all files read, newest first; never emptied.
extern Llist<DefnLine*>* definitions;

// The file being read: its path as given, and its module name.
extern char file_at_work[STATEMENT_SIZE];
extern char book_at_work[DEFN_BOOK_SIZE];

// Same scanner and grammar as py_lex/py_parse, with the wrapper handler.
int wp_lex();
int wp_parse();
void wp_error(const char* msg);

void record_wrapper_definition(int section, char* text);

// Empties the four wp_ lists, sets line_count and column_count to 1,
// file_at_work to path and book_at_work to module, and reads the open file
// to its end, resuming after each syntax error. Does not close the file.
// Returns 0 (reading nothing) when path or module do not fit their fields.
int wp_read_file(FILE* in, const char* path, const char* module);

// The module name of a definition file, one rule for the registry, the
// stub library, the VBA module and the compile path: the base name (after
// the last "/") cut at its first "." that follows any leading dots. Writes
// into out (size bytes); returns 0 when the path is longer than 515
// characters or the name does not fit, else 1.
int module_name_of(const char* path, char* out, size_t size);

#endif
