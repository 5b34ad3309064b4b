// An open-ended range of the lines of a text file: its size is not known in
// advance, and reading past the last line throws the int -1.
#ifndef VELMOR_SAMPLES_TEXT_FILE_TRANSFER_H_
#define VELMOR_SAMPLES_TEXT_FILE_TRANSFER_H_

#include <cstdio>

#include "wrapper_support.hxx"

class TextFileTransfer : public Range<char*> {
 public:
  explicit TextFileTransfer(const char* path);
  ~TextFileTransfer() override;

  int GetSize() const override;
  // Each call reads the next line (newline kept); the index is not used.
  char* GetValue(int index) override;
  char** GetValue() override;

 private:
  char line[1024];
  FILE* file;

  TextFileTransfer(const TextFileTransfer&) = delete;
  TextFileTransfer& operator=(const TextFileTransfer&) = delete;
};

// A new range over the lines of path, or none for a null or empty path.
TextFileTransfer* get_file(const char* path);

#endif
