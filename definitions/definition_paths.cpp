#include "definition_paths.h"

#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

int resolve_definition_path(const char* definition_file, const char* entry, char* out,
                            size_t size) {
  if (size == 0) return 0;
  out[0] = '\0';
  if (entry[0] == '\0' || entry[0] == '/') {
    if (strlen(entry) >= size) return 0;
    memcpy(out, entry, strlen(entry) + 1);
    return 1;
  }
  while (entry[0] == '.' && entry[1] == '/') {
    entry += 2;
    while (entry[0] == '/') entry++;
  }

  // The file's directory, absolute, without a trailing "/" ("/" itself is
  // the empty text): the entry goes behind it after one "/".
  char cwd[PATH_MAX] = "";
  if (definition_file[0] != '/') {
    if (getcwd(cwd, sizeof(cwd)) == nullptr) return 0;
    size_t len = strlen(cwd);
    if (len > 0 && cwd[len - 1] == '/') cwd[len - 1] = '\0';
  }
  const char* slash = strrchr(definition_file, '/');
  int dir_len = slash != nullptr ? (int)(slash - definition_file) : 0;
  const char* join = definition_file[0] != '/' && dir_len > 0 ? "/" : "";
  int n = snprintf(out, size, "%s%s%.*s/%s", cwd, join, dir_len, definition_file, entry);
  if (n < 0 || (size_t)n >= size) {
    out[0] = '\0';
    return 0;
  }
  return 1;
}
