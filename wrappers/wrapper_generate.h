// The generation of one definition file's glue: reads the file with the
// wrapper-side reader, maps its libraries into "map.info", loads mangled_list
// and writes WRAPPER_DIR/MODULE.bas and WRAPPER_DIR/MODULE.cpp.
#ifndef VELMOR_WRAPPERS_WRAPPER_GENERATE_H_
#define VELMOR_WRAPPERS_WRAPPER_GENERATE_H_

// 1 when both output files were written; 0 when the definition file or an
// output file could not be opened. Syntax errors and rejected prototypes are
// reported and do not make it fail.
int wrapper_generate_code(const char* file_name);

// Reads file_name with the wrapper-side reader only, writing nothing: the
// declaration texts the catalogue serves join `definitions` even when the
// stubs are up to date. 1 when the file was read.
int wrapper_read_definitions(const char* file_name);

#endif
