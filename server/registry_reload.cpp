#include "registry_reload.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "bounded_copy.h"
#include "definition_list.h"
#include "definition_paths.h"
#include "file_watch.h"
#include "definition_reader.h"
#include "formula_manager.h"
#include "generated_files.h"
#include "startup.h"
#include "stub_copies.h"
#include "system_info.h"
#include "tarrow.h"
#include "wrapper_directory.h"
#include "wrapper_generate.h"
#include "wrapper_reader.h"

namespace {

// How often the loop looks at a preparing child that has not finished.
const int kPreparePollMs = 50;
// A watched file counts as changed once nothing changed for this long: a
// library being copied or compiled is not loaded half-written.
const int kWatchQuietMs = 1000;

FileWatch* watch = nullptr;

int wake_pipe[2] = {-1, -1};
volatile sig_atomic_t requested = 0;
bool enabled = false;
bool blocked = false;
bool said_blocked = false;
// Whether this server sets the PVM workers' list of definition files.
bool sets_pvm_files = false;
unsigned generation = 0;

// What the preparing child found about one file.
struct FileResult {
  bool ok = false;
  std::string why;
  FormulaManager::FileIdentity identity = {};
};

struct Preparation {
  pid_t pid = -1;
  int fd = -1;
  std::string output;
  std::vector<std::string> files;
  timespec started = {};
} prep;

long elapsed_ms(const timespec& since) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (now.tv_sec - since.tv_sec) * 1000 + (now.tv_nsec - since.tv_nsec) / 1000000;
}

FormulaManager* find_by_file(FormulaManager* list, const std::string& file) {
  for (FormulaManager* fm = list; fm != nullptr; fm = fm->next)
    if (file == fm->protofile_name) return fm;
  return nullptr;
}

// A reason goes on one line of the child's report.
std::string one_line(std::string text) {
  for (char& c : text)
    if (c == '\n' || c == '\t' || c == '\r') c = ' ';
  return text;
}

void set_pvm_files(const std::vector<std::string>& files) {
  if (!sets_pvm_files) return;
  std::string list;
  for (const std::string& f : files) list += (list.empty() ? "" : "\n") + f;
  setenv("VELMOR_DEFINITION_FILES", list.c_str(), 1);
}

bool is_yes(const std::string& v) {
  return strcasecmp(v.c_str(), "yes") == 0 || strcasecmp(v.c_str(), "on") == 0 ||
         strcasecmp(v.c_str(), "true") == 0 || v == "1";
}

// What the watch covers: every listed definition file (also one that failed
// to load, so that its mending is seen), the libraries of the modules
// served, and the module files they list.
void watch_registry_files(const std::vector<std::string>& files) {
  if (watch == nullptr) return;
  std::vector<std::string> paths = files;
  for (Lib* lib = lstart; lib != nullptr; lib = lib->next) {
    if (lib->file_at_work == nullptr || lib->libname == nullptr) continue;
    if (find_by_file(FS.fm_list, lib->file_at_work) != nullptr) paths.push_back(lib->libname);
  }
  for (FormulaManager* fm = FS.fm_list; fm != nullptr; fm = fm->next) {
    for (Node* n = fm->mstart; n != nullptr; n = n->next) {
      char path[VELMOR_PATH_SIZE];
      if (resolve_definition_path(fm->protofile_name, n->data, path, sizeof(path)) && *path)
        paths.push_back(path);
    }
  }
  watch->watch(paths);
}

void start_watching(const std::vector<std::string>& files) {
  if (!is_yes(current_setting("VELMOR_WATCH"))) return;
  watch = new FileWatch(kWatchQuietMs);
  fprintf(stderr, "Watching the definition files, libraries and module files: a change "
                  "reloads once it has stopped for %d ms\n", kWatchQuietMs);
  watch_registry_files(files);
}

void look_at_watch() {
  if (watch == nullptr) return;
  long now = monotonic_ms();
  watch->read_events(now);
  if (!watch->due(now)) return;
  fprintf(stderr, "Reload: a watched file changed\n");
  requested = 1;
}

// ---- In the preparing child ------------------------------------------------

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

Lib* last_lib() {
  Lib* last = lstart;
  while (last != nullptr && last->next != nullptr) last = last->next;
  return last;
}

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
  Lib* mark = last_lib();
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
  Lib* mark = last_lib();
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

// The child keeps only its report pipe and the standard streams: a client
// socket it held would stay open after the server and its worker closed it.
[[noreturn]] void run_preparation(int out) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  const int reset[] = {SIGHUP, SIGUSR1, SIGUSR2, SIGCHLD, SIGTERM, SIGINT};
  for (int sig : reset) signal(sig, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  long max = sysconf(_SC_OPEN_MAX);
  if (max < 0 || max > 65536) max = 65536;
  for (int fd = 3; fd < max; fd++)
    if (fd != out) close(fd);
  for (size_t i = 0; i < prep.files.size(); i++) report(out, i, prepare_file(prep.files[i]));
  fflush(stdout);
  fflush(stderr);
  _exit(0);
}

// ---- In the server ---------------------------------------------------------

void start_preparation() {
  prep.files = definition_files();
  prep.output.clear();
  clock_gettime(CLOCK_MONOTONIC, &prep.started);
  fprintf(stderr, "Reload asked for: rereading %zu definition file(s)\n", prep.files.size());
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    fprintf(stderr, "Reload failed: no pipe (%s); the registry in service stays\n",
            strerror(errno));
    return;
  }
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid < 0) {
    fprintf(stderr, "Reload failed: unable to fork (%s); the registry in service stays\n",
            strerror(errno));
    close(fds[0]);
    close(fds[1]);
    return;
  }
  if (pid == 0) run_preparation(fds[1]);
  close(fds[1]);
  fcntl(fds[0], F_SETFL, O_NONBLOCK);
  prep.pid = pid;
  prep.fd = fds[0];
}

// True once the child has reported everything and ended.
bool preparation_done() {
  char buffer[4096];
  for (;;) {
    ssize_t n = read(prep.fd, buffer, sizeof(buffer));
    if (n > 0) {
      prep.output.append(buffer, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;  // nothing more yet
    break;                    // the child closed its end
  }
  int status = 0;
  if (waitpid(prep.pid, &status, 0) == prep.pid && !(WIFEXITED(status) && WEXITSTATUS(status) == 0))
    fprintf(stderr, "Reload: the preparing process ended abnormally (status %d)\n", status);
  close(prep.fd);
  prep.fd = -1;
  prep.pid = -1;
  return true;
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

struct Counts {
  int reloaded = 0, changed = 0, added = 0, removed = 0, kept = 0, failed = 0;
};

// Reads a file that passed into a new module record (not yet listed).
FormulaManager* read_module(const std::string& file, const FileResult& r, std::string* why) {
  FormulaManager* saved = FS.fm_list;
  FS.fm_list = nullptr;
  // The reading puts the file's catalogue lines in front; a module kept
  // after all must not show them beside its own.
  Llist<DefnLine*>* catalogue = definitions;
  wrapper_read_definitions(file.c_str());
  int loaded = FS.load_formulae(const_cast<char*>(file.c_str()));
  FormulaManager* fm = FS.fm_list;
  FS.fm_list = saved;
  char detail[VELMOR_PATH_SIZE + 128];
  if (!loaded || fm == nullptr) {
    *why = "it cannot be read any more";
  } else if (!same_file_identity(fm->file_identity, r.identity)) {
    *why = "it changed again while it was being rebuilt; another reload follows";
    requested = 1;
  } else if (!copy_stub(fm->formula_name, generation + 1, fm->stub_path, sizeof(fm->stub_path),
                        detail, sizeof(detail))) {
    *why = detail;
  }
  if (!why->empty()) {
    definitions = catalogue;
    return nullptr;
  }
  fm->next = nullptr;
  return fm;
}

FormulaManager* clone_module(FormulaManager* old) {
  FormulaManager* copy = new FormulaManager(*old);
  copy->next = nullptr;
  return copy;
}

// The catalogue's declaration texts: those of the modules read anew are in
// `definitions` already; those of modules carried over come from the old list.
void carry_definitions(Llist<DefnLine*>* old_definitions, const std::set<std::string>& books) {
  Llist<DefnLine*>** tail = &definitions;
  while (*tail != nullptr) tail = &(*tail)->next;
  for (Llist<DefnLine*>* d = old_definitions; d != nullptr; d = d->next) {
    if (d->data == nullptr || books.count(d->data->book) == 0) continue;
    *tail = new Llist<DefnLine*>(d->data, nullptr);
    tail = &(*tail)->next;
  }
}

void commit(const std::map<size_t, FileResult>& results) {
  FormulaManager* old_list = FS.fm_list;
  FormulaManager* new_list = nullptr;
  Llist<DefnLine*>* old_definitions = definitions;
  definitions = nullptr;
  std::set<std::string> carried_books;
  Counts c;
  for (size_t i = 0; i < prep.files.size(); i++) {
    const std::string& file = prep.files[i];
    FormulaManager* old = find_by_file(old_list, file);
    auto found = results.find(i);
    std::string why = found == results.end() ? "the preparing process did not report on it"
                                             : found->second.why;
    FormulaManager* fm = nullptr;
    if (found != results.end() && found->second.ok) {
      if (old != nullptr && same_file_identity(old->file_identity, found->second.identity)) {
        fm = clone_module(old);
        carried_books.insert(fm->formula_name);
      } else {
        fm = read_module(file, found->second, &why);
        if (fm != nullptr) (old != nullptr ? c.changed : c.added)++;
      }
      if (fm != nullptr && old != nullptr) c.reloaded++;
    }
    if (fm == nullptr && old != nullptr) {
      fm = clone_module(old);
      carried_books.insert(fm->formula_name);
      c.kept++;
      fprintf(stderr, "Reload: keeping the module %s of %s as it was: %s\n", fm->formula_name,
              file.c_str(), why.c_str());
    } else if (fm == nullptr) {
      c.failed++;
      fprintf(stderr, "Reload: %s is not loaded: %s\n", file.c_str(), why.c_str());
    }
    if (fm == nullptr) continue;
    fm->next = new_list;
    new_list = fm;
  }
  for (FormulaManager* fm = old_list; fm != nullptr; fm = fm->next) {
    if (find_by_file(new_list, fm->protofile_name) != nullptr) continue;
    c.removed++;
    fprintf(stderr, "Reload: module %s of %s removed\n", fm->formula_name, fm->protofile_name);
  }
  carry_definitions(old_definitions, carried_books);
  unregister_formulae(old_list);
  FS.fm_list = new_list;
  register_formulae(new_list);
  generation++;
  set_pvm_files(prep.files);
  watch_registry_files(prep.files);

  std::vector<const char*> keep;
  for (FormulaManager* fm = new_list; fm != nullptr; fm = fm->next) keep.push_back(fm->stub_path);
  prune_stub_copies(keep.data(), keep.size());
  fprintf(stderr,
          "Reload finished in %ld ms: %d module(s) reloaded (%d changed), %d added, %d removed, "
          "%d kept after an error, %d not loaded\n",
          elapsed_ms(prep.started), c.reloaded, c.changed, c.added, c.removed, c.kept, c.failed);
  fflush(stderr);
}

void drain_wake_pipe() {
  char buffer[64];
  while (read(wake_pipe[0], buffer, sizeof(buffer)) > 0) {
  }
}

}  // namespace

bool reload_setup() {
  if (pipe2(wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    fprintf(stderr, "Unable to make the reload pipe (%s): reloads are refused\n", strerror(errno));
    return false;
  }
  sets_pvm_files = getenv("VELMOR_DEFINITION_FILES") == nullptr;
  set_pvm_files(definition_files());
  if (!open_stub_copies()) return false;
  for (FormulaManager* fm = FS.fm_list; fm != nullptr; fm = fm->next) {
    char why[VELMOR_PATH_SIZE + 128];
    if (!copy_stub(fm->formula_name, 0, fm->stub_path, sizeof(fm->stub_path), why, sizeof(why))) {
      fprintf(stderr, "Module %s: %s; reloads are refused\n", fm->formula_name, why);
      fm->stub_path[0] = '\0';
      return false;
    }
  }
  enabled = true;
  start_watching(definition_files());
  return true;
}

void request_reload() {
  requested = 1;
  if (wake_pipe[1] >= 0) {
    ssize_t ignored = write(wake_pipe[1], "r", 1);
    (void)ignored;
  }
}

int reload_wake_fd() { return wake_pipe[0]; }

int reload_watch_fd() { return watch != nullptr ? watch->fd() : -1; }

bool reload_step() {
  if (wake_pipe[0] >= 0) drain_wake_pipe();
  look_at_watch();
  if (prep.pid > 0) {
    if (!preparation_done()) return false;
    commit(parse_report(prep.output));
    return true;
  }
  if (!requested) return false;
  if (!enabled) {
    requested = 0;
    fprintf(stderr, "Reload refused: this server cannot reload (see its start-up messages); "
                    "restart it to pick up changes\n");
    return false;
  }
  if (blocked) {
    if (!said_blocked)
      fprintf(stderr, "Reload waits: too many workers of earlier reloads still finish their "
                      "calls\n");
    said_blocked = true;
    return false;
  }
  said_blocked = false;
  requested = 0;
  start_preparation();
  return false;
}

int reload_wait_ms() {
  if (prep.pid > 0 || (requested && blocked)) return kPreparePollMs;
  if (requested) return 0;
  return watch != nullptr ? watch->wait_ms(monotonic_ms()) : -1;
}

unsigned registry_generation() { return generation; }

void set_reload_blocked(bool b) { blocked = b; }
