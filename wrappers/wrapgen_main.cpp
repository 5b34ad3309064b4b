// wrapgen: builds the VBA modules, stub sources and stub libraries of the
// definition files named on the command line, as the server does at start-up.
#include <stdio.h>

#include "wrapper_interface.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "wrapper_interface, no argument specified %d!\n", argc);
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
