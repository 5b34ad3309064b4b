#include "text_file_transfer.h"

TextFileTransfer::TextFileTransfer(const char* path) : file(nullptr) {
  line[0] = '\0';
  file = fopen(path, "r");
  if (file == nullptr) printf("\n TextFileTransfer::TextFileTransfer() file open error");
}

TextFileTransfer::~TextFileTransfer() {
  if (file != nullptr) fclose(file);
}

int TextFileTransfer::GetSize() const { return -1; }

char* TextFileTransfer::GetValue(int /*index*/) {
  if (file == nullptr) throw -1;
  if (fgets(line, sizeof line, file) == nullptr) throw -1;
  return line;
}

char** TextFileTransfer::GetValue() { return nullptr; }

TextFileTransfer* get_file(const char* path) {
  if (path == nullptr || path[0] == '\0') return nullptr;
  return new TextFileTransfer(path);
}
