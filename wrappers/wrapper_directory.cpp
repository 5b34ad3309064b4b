#include "wrapper_directory.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "generated_files.h"
#include "wrapper_reader.h"

static char wrapper_directory_text[WRAPPER_PATH_SIZE + 1] = "";
char* wrapper_directory = wrapper_directory_text;

static void no_space_to_copy(const char* text) {
  fprintf(stderr, "Not enough space (available %d) to strcpy %s\n", WRAPPER_PATH_SIZE, text);
  fprintf(stderr, "Sorry, exiting ...\n");
  exit(1);
}

static void no_space_to_append(size_t used, const char* text) {
  fprintf(stderr, "Not enough space (available %d, used %d) to strcat %s\n", WRAPPER_PATH_SIZE,
          (int)used, text);
  fprintf(stderr, "Sorry, exiting ...\n");
  exit(1);
}

void settle_wrapper_directory() {
  const char* dir = getenv("VELMOR_LOG_DIR");
  if (dir == NULL) dir = "./wrapper";
  if (strlen(dir) > WRAPPER_PATH_SIZE) no_space_to_copy(dir);
  snprintf(wrapper_directory_text, sizeof(wrapper_directory_text), "%s", dir);
}

void map_info_path(char* out) {
  size_t used = strlen(wrapper_directory);
  memcpy(out, wrapper_directory, used + 1);
  if (used == 0 || out[used - 1] != '/') {
    if (used > WRAPPER_PATH_SIZE - 1) no_space_to_append(used, "/");
    out[used++] = '/';
    out[used] = '\0';
  }
  if (used > WRAPPER_PATH_SIZE - 8) no_space_to_append(used, "map.info");
  memcpy(out + used, "map.info", sizeof("map.info"));
}

int empty_map_info(const char* path) {
  if (!map_info_may_be_written(path)) return 0;
  FILE* f = fopen(path, "w");
  if (f == NULL) {
    fprintf(stderr, "unable to open %s for writing\n", path);
    return 0;
  }
  fclose(f);
  return 1;
}

int wrapper_file_path(const char* definition_file, const char* extension, char* out,
                      size_t size) {
  char module[WRAPPER_PATH_SIZE + 4];
  if (!module_name_of(definition_file, module, sizeof(module))) return 0;
  int n = snprintf(out, size, "%s/%s%s", wrapper_directory, module, extension);
  return n >= 0 && (size_t)n < size;
}
