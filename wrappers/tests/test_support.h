// Small helpers of the wrapper build tests: a private temporary directory
// per test, and whole-file reads and writes.
#ifndef VELMOR_WRAPPERS_TESTS_TEST_SUPPORT_H_
#define VELMOR_WRAPPERS_TESTS_TEST_SUPPORT_H_

#include <stdio.h>
#include <stdlib.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "externals.h"
#include "prototype_parser.h"

class TempDir {
 public:
  TempDir() {
    char templ[] = "/tmp/velmor_wrappers_XXXXXX";
    path_ = mkdtemp(templ) ? templ : "";
  }
  ~TempDir() {
    std::string command = "rm -rf '" + path_ + "'";
    if (system(command.c_str()) != 0) fprintf(stderr, "could not remove %s\n", path_.c_str());
  }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline void write_file(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline bool file_exists(const std::string& path) { return std::ifstream(path).good(); }

// The declaration of a prototype text, or NULL when the parser rejects it.
// Declarations live as long as the process, as they do in the server; the
// list keeps them reachable.
inline ExternDefinition* parse_declaration(const char* text) {
  static std::vector<ExternDefinition*>* parsed = new std::vector<ExternDefinition*>;
  char buffer[1024];
  snprintf(buffer, sizeof(buffer), "%s", text);
  fp_set_string(buffer);
  if (fp_parse() != 0) return NULL;
  parsed->push_back(extern_definition_root);
  return extern_definition_root;
}

#endif
