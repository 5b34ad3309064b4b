#include "system_info.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { LINE_SIZE = 1024 };

std::string system_info_path() {
  const char* bin = getenv("VELMOR_BIN_DIR");
  if (bin == NULL) return "./system.info";
  std::string path = bin;
  if (path.empty() || path.back() != '/') path += '/';
  return path + "system.info";
}

static void remove_line_end(char* line) {
  size_t n = strlen(line);
  if (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r')) line[n - 1] = '\0';
}

char* get_compiler_command(const char* os_system, char* result) {
  std::string path = system_info_path();
  FILE* f = fopen(path.c_str(), "r");
  if (f == NULL) {
    fprintf(stderr, "Unable to open %s file\n", path.c_str());
    return NULL;
  }
  size_t key_len = strlen(os_system);
  char* value = NULL;
  bool at_line_start = true;
  while (fgets(result, LINE_SIZE, f) != NULL) {
    // The rest of an over-long line is not a line of its own.
    bool starts_line = at_line_start;
    at_line_start = strchr(result, '\n') != NULL;
    if (!starts_line || strncmp(result, os_system, key_len) != 0) continue;
    remove_line_end(result);
    // A line holding only the key has no separator: its value is empty.
    size_t len = strlen(result);
    value = result + (len > key_len ? key_len + 1 : len);
    break;
  }
  fclose(f);
  return value;
}

std::string shell_word(const char* value) {
  if (value[0] != '\0' && strspn(value, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                          "0123456789/._+-,:=@") == strlen(value))
    return value;
  std::string quoted = "'";
  for (const char* p = value; *p; p++) {
    if (*p == '\'')
      quoted += "'\\''";
    else
      quoted += *p;
  }
  return quoted + "'";
}

std::string fill_command_template(const char* templ, const char* value) {
  const std::string word = shell_word(value);
  std::string out;
  for (const char* p = templ; *p; p++) {
    if (p[0] == '%' && p[1] == 's') {
      out += word;
      p++;
    } else if (p[0] == '%' && p[1] == '%') {
      out += '%';
      p++;
    } else {
      out += *p;
    }
  }
  return out;
}

int compile_shared_object_file(const char* file_name_prefix) {
  char line[LINE_SIZE];
  const char* templ = get_compiler_command("LINUX-CC", line);
  if (templ == NULL) {
    fprintf(stderr,
            "Please ensure VELMOR_LOG_DIR is set to the directory of system.info file/add an "
            "entry for LINUX-CC in system - configuration file.!\n");
    return 0;
  }
  std::string command = fill_command_template(templ, file_name_prefix);
  printf("THE COMPILE COMMAND is %s\n", command.c_str());
  fflush(stdout);
  if (system(command.c_str()) != 0) {
    fprintf(stderr, "compiler command: %s failed!\n", command.c_str());
    return 0;
  }
  return 1;
}
