#include "test_files.h"

#include <stdlib.h>

#include <fstream>
#include <sstream>
#include <string>

TempDir::TempDir() {
  char templ[] = "/tmp/velmor-defs-XXXXXX";
  char* made = mkdtemp(templ);
  path_ = made != nullptr ? made : "/tmp";
}

TempDir::~TempDir() {
  std::string command = "rm -rf '" + path_ + "'";
  if (path_ != "/tmp" && system(command.c_str()) != 0) {
    // Best effort: a leftover directory under /tmp does no harm.
  }
}

std::string TempDir::Write(const std::string& name, const std::string& text) const {
  std::string file = path_ + "/" + name;
  std::ofstream out(file, std::ios::binary);
  out << text;
  return file;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}
