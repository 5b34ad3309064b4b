// Where a path written in a definition file points. A relative path is taken
// relative to the directory of the definition file that lists it, so that a
// file means the same libraries and module files whatever the working
// directory of the server, the PVM worker or wrapgen that reads it.
#ifndef VELMOR_DEFINITIONS_DEFINITION_PATHS_H_
#define VELMOR_DEFINITIONS_DEFINITION_PATHS_H_

#include <stddef.h>

// Writes into out (size bytes) the path that entry, as written in the
// definition file definition_file, names: an absolute entry (or an empty one)
// unchanged; a relative one behind the file's directory, itself made absolute
// with the working directory when the file's path is relative. Leading "./"
// of the entry are dropped. Returns 1, or 0 when the result does not fit (out
// then holds the empty text). Reads only the working directory; thread-safe.
int resolve_definition_path(const char* definition_file, const char* entry, char* out,
                            size_t size);

#endif
