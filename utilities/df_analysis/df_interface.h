// What the rest of the server uses of formula analysis.
//
// The registry enters every FORMULAE entry of a module M with
// add_an_entry(M, usage, formula) and every GENERATORS entry with
// add_an_entry(M + "_GEN_", usage, formula) while it loads its configuration;
// the request protocol answers "populate_appname" and "populate_genappname"
// with objectify_an_entry.  Formula operations are not thread-safe: callers
// run them one at a time within a process.
#ifndef VELMOR_DF_ANALYSIS_DF_INTERFACE_H_
#define VELMOR_DF_ANALYSIS_DF_INTERFACE_H_

#include <string>

#include "df_exception.h"

// Returns 0 when the entry was added or already existed (the first ordinary
// definition of a name in a book wins; a generator entry replaces an older
// one), 1 when it was rejected: the formula does not parse, the usage name is
// longer than 63 characters or has more than 16 formal parameters.  A null
// or empty book or name throws Exception 5001, a generator book over 260
// characters 5002.
int add_an_entry(const char* book, const char* name, const char* formula);

// The entry's formula with references to other entries of the book written
// as BOOK.NAME and, when is_generator is set, calls of array-returning
// external functions written as gen_NAME.  Empty when the book has no such
// entry or the entry has no formula.  A null book or name throws
// Exception 5001.
std::string objectify_an_entry(const char* book, const char* name, int is_generator);

// Provided by the function registry: 1 when `name` is a declared FUNCTIONS
// entry whose result is an array, else 0.
int is_external_and_returns_array(const char* name);

#endif
