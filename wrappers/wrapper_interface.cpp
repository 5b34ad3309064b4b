#include "wrapper_interface.h"

#include <stdio.h>
#include <sys/stat.h>

#include "generated_files.h"
#include "system_info.h"
#include "wrapper_generate.h"

int wrapper_interface(char* _formula_file) {
  settle_wrapper_directory();
  char map_path[WRAPPER_PATH_SIZE + 1];
  map_info_path(map_path);
  if (!empty_map_info(map_path)) return 0;
  // Checked even when nothing is regenerated: a stub library that is someone
  // else's would be loaded as this module's.
  if (!module_files_may_be_written(_formula_file)) return 0;
  if (need_to_generate_wrapper(_formula_file))
    generate_wrapper(_formula_file);
  else
    wrapper_read_definitions(_formula_file);  // so a restart still serves its declarations
  return 1;
}

int need_to_generate_wrapper(const char* formulae_file) {
  struct stat st;
  if (formulae_file == NULL || stat(formulae_file, &st) != 0) return 1;
  long t1 = (long)st.st_mtime;

  // The stub library carries the module name, the same one the compile writes.
  char object_file[1024];
  if (!wrapper_file_path(formulae_file, ".so", object_file, sizeof(object_file))) return 1;
  long t2 = stat(object_file, &st) == 0 ? (long)st.st_mtime : t1;

  printf("formula_file: %s & time = %d  & object_file: %s & time = %d\n", formulae_file,
         (int)t1, object_file, (int)t2);
  if (t2 > t1) {
    printf("No need to generate object file\n");
    return 0;
  }
  return 1;
}

int generate_wrapper(const char* formula_file) {
  if (formula_file == NULL || formula_file[0] == '\0') {
    fprintf(stderr, "generate_wrapper: formula_file is not specified\n");
    return 0;
  }
  FILE* f = fopen(formula_file, "r");
  if (f == NULL) {
    fprintf(stderr, "generate_wrapper: formula file %s does not exists or unable to open!\n",
            formula_file);
    return 0;
  }
  fclose(f);
  if (!module_files_may_be_written(formula_file)) return 0;
  if (!wrapper_generate_code(formula_file)) {
    fprintf(stderr, "# Unable to parse %s file. Please fix the error try again\n", formula_file);
    return 0;
  }
  char output_path[1024];
  if (!wrapper_file_path(formula_file, "", output_path, sizeof(output_path))) {
    fprintf(stderr, "generate_wrapper: output path for %s is too long\n", formula_file);
    return 0;
  }
  printf("compile_shared_object_file for %s\n", output_path);
  fflush(stdout);
  return compile_shared_object_file(output_path);
}
