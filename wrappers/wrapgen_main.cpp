// wrapgen: builds the VBA modules, stub sources and stub libraries of the
// definition files named on the command line, as the server does at start-up.
#include <stdio.h>
#include <string.h>

#include "wrapper_interface.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "wrapper_interface, no argument specified %d!\n", argc);
    return 0;
  }
  if (argc == 2 && strcmp(argv[1], "--help") == 0) {
    printf(
        "Usage: wrapgen definition_file ...\n"
        "Generates MODULE.bas (the VBA module), MODULE.cpp (the stub source) and compiles\n"
        "MODULE.so for each definition file whose stub library is not newer than the file,\n"
        "as Velmord does at start-up. Relative paths in a file are taken relative to the\n"
        "file's own directory. A file of one of those names (or map.info) that was not\n"
        "generated is never overwritten: the definition file is then skipped with a message.\n"
        "\n"
        "Environment:\n"
        "  VELMOR_LOG_DIR  output directory, must exist (default ./wrapper)\n"
        "  VELMOR_BIN_DIR  directory of system.info, the compiler commands (default .)\n"
        "\n"
        "Exit status: 1 after all files were processed (whatever happened to each: read the\n"
        "messages), 0 when map.info cannot be created or no file was given.\n");
    return 0;
  }
  settle_wrapper_directory();
  char map_path[WRAPPER_PATH_SIZE + 1];
  map_info_path(map_path);
  // Emptied once: every file regenerated in this run adds its libraries.
  if (!empty_map_info(map_path)) return 0;
  for (int i = 1; i < argc; i++) {
    if (need_to_generate_wrapper(argv[i])) generate_wrapper(argv[i]);
    fflush(stdout);
  }
  return 1;
}
