// The wrapper build of one definition file: regenerate and compile its stubs
// when the stub library in the wrapper directory is not newer than the file.
#ifndef VELMOR_WRAPPERS_WRAPPER_INTERFACE_H_
#define VELMOR_WRAPPERS_WRAPPER_INTERFACE_H_

#include "wrapper_directory.h"

// The server's entry: settles the wrapper directory, empties "map.info" and,
// when needed, generates and compiles; otherwise only reads the file's
// declaration texts for the catalogue. 1 after the run whatever happened to the
// file; 0 when "map.info" could not be created or when MODULE.bas, MODULE.cpp or
// MODULE.so in the wrapper directory is someone else's file (generated_files.h),
// which is then left untouched and not loaded. Exits when the directory or the
// path of "map.info" is too long.
int wrapper_interface(char* _formula_file);

// 1 when the stubs of formulae_file must be generated; 0 when the stub library
// is newer than the file.
int need_to_generate_wrapper(const char* formulae_file);

// Generates the VBA module and stub source of formula_file and compiles the
// stub library. 1 when both succeeded; 0 without writing anything when one of
// the module's files in the wrapper directory is someone else's.
int generate_wrapper(const char* formula_file);

#endif
