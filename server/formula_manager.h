// One loaded module: what one definition file declares, with the time stamp
// clients compare against and the handle of its stub library. The modules
// form a list headed by Tarrow::fm_list, newest first. Built at start-up and
// replaced as a whole by a reload in the server process (a worker keeps the
// list it was forked with); records are never freed, because a module kept
// after a failed reload is shared by the old and the new list's copies.
#ifndef VELMOR_SERVER_FORMULA_MANAGER_H_
#define VELMOR_SERVER_FORMULA_MANAGER_H_

#include <sys/types.h>

#include "externals.h"

enum {
  PROTOFILE_NAME_SIZE = 1024,
  TIME_STAMP_SIZE = 64
};

// The declarations one file added to a list that grows at the front: the
// nodes from first up to (not including) end.
struct DeclarationSlice {
  Llist<ExternDefinition*>* first;
  Llist<ExternDefinition*>* end;
};

// The declaration of that exact name in the slice, or null.
ExternDefinition* find_in_slice(const DeclarationSlice& slice, const char* name);

class FormulaManager {
 public:
  char* formula_name;                        // module name, owned copy
  char protofile_name[PROTOFILE_NAME_SIZE];  // path as on the command line
  char time_stamp[TIME_STAMP_SIZE];          // "%d %b %Y %T %Z", UTC
  Formula* fstart;                           // FORMULAE, file order
  Formula* gstart;                           // GENERATORS, file order
  Node* mstart;                              // MODULES, file order
  void* module_handle;                       // loaded stub library
  int module_loaded;                         // 1 once loaded
  FormulaManager* next;                      // older module
  // What this file declared under FUNCTIONS, THREADS and STREAMS, so that a
  // name declared differently by two modules is looked up per module.
  DeclarationSlice functions;
  DeclarationSlice threads;
  DeclarationSlice live_threads;
  // The stub library this module's workers load: a copy private to the
  // registry that was checked, so that a stub rebuilt on disk for the next
  // reload never meets this registry's declarations. Empty: the wrapper
  // directory's MODULE.so.
  char stub_path[PROTOFILE_NAME_SIZE];
  // The definition file as it was read, to tell a changed file from an
  // unchanged one even when its modification time was kept (cp -p).
  struct FileIdentity {
    dev_t dev;
    ino_t ino;
    off_t size;
    long mtime_ns;
    long ctime_ns;
    long mtime_s;
    long ctime_s;
  } file_identity;

  FormulaManager();
};

// The module of the given name (case-insensitive) in list, newest first.
FormulaManager* find_module(FormulaManager* list, const char* module);

// Reads the identity of the file at path (a link followed: what changes is
// the file read); false when it cannot be read.
bool read_file_identity(const char* path, FormulaManager::FileIdentity* out);
bool same_file_identity(const FormulaManager::FileIdentity& a,
                        const FormulaManager::FileIdentity& b);

// Formats a modification time in UTC as "%d %b %Y %T %Z" into out (size
// bytes); returns the length written, 0 if it does not fit.
int format_time_stamp(long seconds, char* out, int size);

// Appends text and a line end to the start-up trace debug_log_path (the
// link itself is never followed; created with mode 0600).
void debug(const char* text);
extern const char* debug_log_path;

#endif
