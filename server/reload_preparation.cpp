#include "reload_preparation.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

#include "bounded_copy.h"
#include "definition_reader.h"
#include "generated_files.h"
#include "process_manager.h"
#include "startup.h"
#include "stub_copies.h"
#include "system_info.h"
#include "tarrow.h"
#include "wrapper_directory.h"
#include "wrapper_generate.h"
#include "wrapper_reader.h"

FormulaManager* find_by_file(FormulaManager* list, const std::string& file) {
  for (FormulaManager* fm = list; fm != nullptr; fm = fm->next)
    if (file == fm->protofile_name) return fm;
  return nullptr;
}

namespace {

// A reason goes on one line of the child's report.
std::string one_line(std::string text) {
  for (char& c : text)
    if (c == '\n' || c == '\t' || c == '\r') c = ' ';
  return text;
}

// The generated files of a module that a failed rebuild must not leave
// behind: the VBA module that workbooks fetch belongs to the module kept.
const char* const kModuleFiles[] = {".so", ".bas", ".cpp"};

struct Backup {
  std::vector<std::pair<std::string, std::string>> saved;  // file, its copy

  void take(const char* definition_file) {
    for (const char* ext : kModuleFiles) {
      char path[WRAPPER_PATH_SIZE + 16];
      if (!wrapper_file_path(definition_file, ext, path, sizeof(path))) continue;
      if (access(path, F_OK) != 0) continue;
      std::string copy = std::string(path) + ".previous";
      if (copy_file_keeping_time(path, copy.c_str())) saved.emplace_back(path, copy);
    }
  }
  void restore() {
    for (const auto& s : saved) rename(s.second.c_str(), s.first.c_str());
    saved.clear();
  }
  void drop() {
    for (const auto& s : saved) unlink(s.second.c_str());
    saved.clear();
  }
};

// Loads what a worker would load for the file: the libraries its reading
// listed after `mark`, then the stub library. Empty when all loaded.
std::string probe_load(Lib* mark, const char* stub) {
  for (Lib* lib = mark != nullptr ? mark->next : lstart; lib != nullptr; lib = lib->next) {
    if (dlopen(lib->libname, RTLD_NOW) == nullptr)
      return std::string("its library does not load: ") + dlerror();
  }
  if (dlopen(stub, RTLD_NOW) == nullptr)
    return std::string("its stub library does not load: ") + dlerror();
  return "";
}

// Reads the file as the server will, counting syntax errors.
std::string read_as_server(const char* file) {
  FILE* in = fopen(file, "r");
  if (in == nullptr) return std::string("it cannot be read: ") + strerror(errno);
  py_read_file(in);
  fclose(in);
  return "";
}

std::string rebuild(const char* file) {
  if (!module_files_may_be_written(file))
    return "its generated files in the wrapper directory belong to somebody else";
  char map_path[WRAPPER_PATH_SIZE + 1];
  map_info_path(map_path);
  if (!empty_map_info(map_path)) return "map.info cannot be written";
  // What the file listed when it was read before is not what it lists now:
  // only the new list's libraries may go into the stub's symbol map.
  forget_libraries_of(file, last_library(), true);
  Lib* mark = last_library();
  if (!wrapper_generate_code(file)) return "its stubs cannot be generated (see above)";
  // Counted by the server's reading alone; the generator read the same text.
  definition_errors = 0;
  std::string why = read_as_server(file);
  if (!why.empty()) return why;
  if (definition_errors > 0)
    return "it does not parse: " + std::to_string(definition_errors) +
           " syntax error(s), see the lines above";
  char output[WRAPPER_PATH_SIZE + 16];
  if (!wrapper_file_path(file, "", output, sizeof(output))) return "its module name is too long";
  fflush(stdout);
  if (!compile_shared_object_file(output)) return "its stub library does not compile (see above)";
  std::string stub = std::string(output) + ".so";
  return probe_load(mark, stub.c_str());
}

// A file unchanged since the registry read it: its stub copy stands; only
// its libraries may have been replaced on disk.
std::string recheck(const char* file, FormulaManager* old) {
  Lib* mark = last_library();
  wrapper_read_definitions(file);
  char stub[VELMOR_PATH_SIZE];
  module_stub_path(old, stub);
  return probe_load(mark, stub);
}

// A changed file must give its module a stamp no workbook has seen: the
// stamp is the modification time in seconds, and a file rewritten within
// the second of the version served (or dated back) would pass a workbook
// built from an older version as current. Its time is moved on past the
// version served; where that is not allowed, the file fails loudly.
std::string move_time_past(const char* file, const FormulaManager* old,
                           FormulaManager::FileIdentity* identity) {
  if (old == nullptr || identity->mtime_s > old->file_identity.mtime_s) return "";
  struct timespec times[2];
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<time_t>(old->file_identity.mtime_s + 1);
  times[1].tv_nsec = 0;
  if (utimensat(AT_FDCWD, file, times, 0) != 0 || !read_file_identity(file, identity))
    return std::string("it changed within the second of the version served, and its time "
                       "cannot be moved on (") +
           strerror(errno) + "): touch it a second later and reload again";
  printf("Reload: %s changed within the second of the version served: its time is moved on "
         "a second, so that workbooks see a new stamp\n",
         file);
  return "";
}

FileResult prepare_file(const std::string& name) {
  FileResult r;
  const char* file = name.c_str();
  printf("================ %s ===========\n", file);
  if (!read_file_identity(file, &r.identity) || !check_availability(file)) {
    r.why = std::string("it cannot be read: ") + strerror(errno);
    return r;
  }
  FormulaManager* old = find_by_file(FS.fm_list, name);
  if (old != nullptr && same_file_identity(old->file_identity, r.identity)) {
    r.why = recheck(file, old);
  } else if ((r.why = move_time_past(file, old, &r.identity)).empty()) {
    Backup backup;
    backup.take(file);
    r.why = rebuild(file);
    if (r.why.empty())
      backup.drop();
    else
      backup.restore();
  }
  r.ok = r.why.empty();
  return r;
}

void report(int out, size_t index, const FileResult& r) {
  const FormulaManager::FileIdentity& id = r.identity;
  dprintf(out, "%zu\t%d\t%lu\t%lu\t%ld\t%ld\t%ld\t%ld\t%ld\t%s\n", index, r.ok ? 1 : 0,
          (unsigned long)id.dev, (unsigned long)id.ino, (long)id.size, id.mtime_s, id.mtime_ns,
          id.ctime_s, id.ctime_ns, one_line(r.why).c_str());
}

}  // namespace

[[noreturn]] void run_preparation(const std::vector<std::string>& files, pid_t server, int out) {
  end_with_server(server, true);
  const int reset[] = {SIGHUP, SIGUSR1, SIGUSR2, SIGCHLD, SIGTERM, SIGINT};
  for (int sig : reset) signal(sig, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  close_inherited_descriptors(out);
  for (size_t i = 0; i < files.size(); i++) report(out, i, prepare_file(files[i]));
  fflush(stdout);
  fflush(stderr);
  _exit(0);
}

std::map<size_t, FileResult> parse_report(const std::string& output) {
  std::map<size_t, FileResult> results;
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    size_t index;
    int ok;
    unsigned long dev, ino;
    long size;
    FileResult r;
    int used = 0;
    if (sscanf(line.c_str(), "%zu\t%d\t%lu\t%lu\t%ld\t%ld\t%ld\t%ld\t%ld\t%n", &index, &ok, &dev,
               &ino, &size, &r.identity.mtime_s, &r.identity.mtime_ns, &r.identity.ctime_s,
               &r.identity.ctime_ns, &used) < 9)
      continue;
    r.ok = ok == 1;
    r.identity.dev = static_cast<dev_t>(dev);
    r.identity.ino = static_cast<ino_t>(ino);
    r.identity.size = static_cast<off_t>(size);
    r.why = line.substr(static_cast<size_t>(used));
    results[index] = r;
  }
  return results;
}

