// The map from a user function's plain name to its library and loader symbol.
//
// map_mangled_demangled() lists a library's function symbols with the
// "system.info" commands LINUX-NM-MANGLED and LINUX-NM-DEMANGLED and appends
// one line per symbol to "map.info":  LIBRARY~SYMBOL~READABLE~
// MangledList::load() reads such a file back; find() answers the stub writer.
#ifndef VELMOR_WRAPPERS_MANGLED_LIST_H_
#define VELMOR_WRAPPERS_MANGLED_LIST_H_

#include "externals.h"

class MangledInfo {
 public:
  // Copies the three texts into line (truncating them should they not fit;
  // Fits tells beforehand whether they do).
  MangledInfo(char* file, char* mangled, char* unmangled);
  static bool Fits(const char* file, const char* mangled, const char* unmangled);

  char* GetFile() { return file; }
  char* GetMangledFunction() { return mangled_function; }
  // True when the plain name is set and equals name exactly.
  bool Match(char* name);

 private:
  char line[1024];
  char* file;
  char* mangled_function;
  char* unmangled_function;
};

class MangledList {
 public:
  MangledList() : info(NULL), c_info(NULL) {}

  // Puts a record for every symbol of the file in front of info (C++
  // symbols) or c_info (C linkage: the symbol is the plain name); neither is
  // ever emptied, so each load adds the whole file again. Versioned symbols
  // are taken under the name the loader binds. A file that cannot be opened
  // adds nothing. Returns 1.
  int load(char* path);
  // The first C++ record whose plain name is name; failing that, the first
  // C record of that name (so a C++ function keeps its binding wherever a C
  // function of the same name is listed too); NULL when neither exists.
  MangledInfo* find(char* name);

 private:
  char line[1024];
  Llist<MangledInfo*>* info;
  Llist<MangledInfo*>* c_info;
};

extern MangledList mangled_list;

// Appends the function symbols of shared_object_file to "map.info" of the
// wrapper directory, using the work files "nm_mangled" and "nm_demangled".
// 1 on success, 0 (after its message) otherwise.
int map_mangled_demangled(char* shared_object_file);

#endif
