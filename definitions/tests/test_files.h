// Temporary directories and files for the definition tests.
#ifndef VELMOR_DEFINITIONS_TESTS_TEST_FILES_H_
#define VELMOR_DEFINITIONS_TESTS_TEST_FILES_H_

#include <string>

// A fresh directory under /tmp, removed with its files by the destructor.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  // Writes text to a file in the directory and returns its path.
  std::string Write(const std::string& name, const std::string& text) const;

 private:
  std::string path_;
};

std::string ReadFile(const std::string& path);

#endif
