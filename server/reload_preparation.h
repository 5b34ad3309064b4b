// The preparing half of a reload (registry_reload.h), run in a child process
// of the server so that the server goes on serving while stubs compile.
//
// For each definition file the child decides whether it may be served anew:
// a file unchanged since the registry read it keeps its stub, and only its
// libraries are loaded again to see that they still load; a changed or new
// file is rebuilt as at start-up (with its time moved on when it would
// otherwise keep a stamp that workbooks hold), read as the server reads it
// (any syntax error fails it), and its libraries and new stub are loaded.
// A file that fails gets its module's previous generated files back. The
// child reports one line per file to the server and ends.
#ifndef VELMOR_SERVER_RELOAD_PREPARATION_H_
#define VELMOR_SERVER_RELOAD_PREPARATION_H_

#include <stddef.h>
#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "formula_manager.h"

// What the child found about one file: whether it passed, why not, and the
// file as it was when it passed (the server reads it again and must find it
// the same).
struct FileResult {
  bool ok = false;
  std::string why;
  FormulaManager::FileIdentity identity = {};
};

// In the child, forked from the server's (pid server) single thread:
// prepares files in order against the registry in service (FS.fm_list) and
// writes the report to out. Ends with the server, and keeps no inherited
// descriptor but out and the standard streams. Never returns.
[[noreturn]] void run_preparation(const std::vector<std::string>& files, pid_t server, int out);

// In the server: the child's report, by index into files. A file missing
// from it was not reported on (the child ended early).
std::map<size_t, FileResult> parse_report(const std::string& output);

// The module record in list that was read from file, or null.
FormulaManager* find_by_file(FormulaManager* list, const std::string& file);

#endif
