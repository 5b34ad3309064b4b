#include "definition_list.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <fstream>
#include <sstream>

static std::vector<std::string> command_line_files;

void add_command_line_definition(const char* file) { command_line_files.push_back(file); }

static std::string trimmed(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

bool settings_value(const std::string& text, const char* key, std::string* value) {
  std::istringstream lines(text);
  std::string line;
  bool found = false;
  while (std::getline(lines, line)) {
    line = trimmed(line);
    if (line.empty() || line[0] == '#') continue;
    size_t eq = line.find('=');
    if (eq == std::string::npos || trimmed(line.substr(0, eq)) != key) continue;
    std::string v = trimmed(line.substr(eq + 1));
    if (v.size() >= 2 && (v[0] == '"' || v[0] == '\'') && v.back() == v[0])
      v = v.substr(1, v.size() - 2);
    *value = v;  // the last assignment wins, as in the service manager
    found = true;
  }
  return found;
}

static bool read_settings(std::string* text) {
  const char* path = getenv("VELMOR_SETTINGS");
  if (path == nullptr || *path == '\0') return false;
  std::ifstream in(path);
  if (!in) {
    fprintf(stderr, "Unable to read the settings file %s: %s\n", path, strerror(errno));
    return false;
  }
  std::stringstream all;
  all << in.rdbuf();
  *text = all.str();
  return true;
}

std::string current_setting(const char* key) {
  std::string text, value;
  if (read_settings(&text) && settings_value(text, key, &value)) return value;
  const char* env = getenv(key);
  return env != nullptr ? env : "";
}

std::vector<std::string> settings_definitions() {
  std::vector<std::string> files;
  std::string text, value;
  if (!read_settings(&text) || !settings_value(text, "VELMOR_DEFINITIONS", &value)) return files;
  std::istringstream words(value);
  std::string file;
  while (words >> file) {
    bool known = std::find(command_line_files.begin(), command_line_files.end(), file) !=
                     command_line_files.end() ||
                 std::find(files.begin(), files.end(), file) != files.end();
    if (!known) files.push_back(file);
  }
  return files;
}

std::vector<std::string> definition_files() {
  std::vector<std::string> all = command_line_files;
  for (const std::string& f : settings_definitions()) all.push_back(f);
  return all;
}
