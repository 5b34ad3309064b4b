// The server-side definition reader: collects a definition file's formulae,
// generators and VBA module names, and the declarations the server runs.
#ifndef VELMOR_DEFINITIONS_DEFINITION_READER_H_
#define VELMOR_DEFINITIONS_DEFINITION_READER_H_

#include <stdio.h>

#include "definition_scanner.h"
#include "externals.h"

// Entries of the file being read, in file order; emptied before each file,
// the caller takes them over afterwards.
extern Formula* fstart;
extern Formula* gstart;
extern Node* mstart;

// Declarations of all files read, newest first; never emptied.
extern Llist<ExternDefinition*>* lfun;
extern Llist<ExternDefinition*>* lthread;
extern Llist<ExternDefinition*>* llive_thread;
extern Llist<ExternDefinition*>* ltype;

// Handler of the server-side reader.
void record_server_definition(int section, char* text);

// Installs the server-side handler, empties fstart, gstart and mstart, sets line_count and column_count to 1,
// and reads the open file to its end with py_parse, resuming after each
// syntax error. Does not close the file.
void py_read_file(FILE* in);

#endif
