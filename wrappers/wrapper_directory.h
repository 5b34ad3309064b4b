// The wrapper directory and the paths of the files the wrapper build keeps in it.
//
// The directory comes from VELMOR_LOG_DIR ("./wrapper" when unset). A value
// or composed path that does not fit its 512-byte buffer ends the program with
// the usual "Not enough space" messages and exit status 1.
#ifndef VELMOR_WRAPPERS_WRAPPER_DIRECTORY_H_
#define VELMOR_WRAPPERS_WRAPPER_DIRECTORY_H_

#include <stddef.h>

enum { WRAPPER_PATH_SIZE = 512 };

// Directory of the generated and work files; the empty text until
// settle_wrapper_directory() has run.
extern char* wrapper_directory;

// Reads VELMOR_LOG_DIR into wrapper_directory; exits when it is too long.
void settle_wrapper_directory();

// The path of "map.info" in the wrapper directory, into out (at least
// WRAPPER_PATH_SIZE + 1 bytes); exits when it does not fit.
void map_info_path(char* out);

// Creates "map.info" empty. 1 on success; 0 after "unable to open %s for
// writing\n".
int empty_map_info(const char* path);

// wrapper_directory + "/" + MODULE + extension into out (size bytes), MODULE
// named as the registry names it (module_name_of), so that the compile, the
// up-to-date test and the loader agree. 0 when the path does not fit or
// MODULE cannot be worked out.
int wrapper_file_path(const char* definition_file, const char* extension,
                      char* out, size_t size);

#endif
