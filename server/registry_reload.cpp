#include "registry_reload.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "bounded_copy.h"
#include "definition_list.h"
#include "definition_paths.h"
#include "file_watch.h"
#include "reload_preparation.h"
#include "formula_manager.h"
#include "stub_copies.h"
#include "tarrow.h"
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
// served, the module files they list, and the settings file that lists
// definition files.
void watch_registry_files(const std::vector<std::string>& files) {
  if (watch == nullptr) return;
  std::vector<std::string> paths = files;
  const char* settings = getenv("VELMOR_SETTINGS");
  if (settings != nullptr && *settings != '\0') paths.push_back(settings);
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
  fprintf(stderr, "Watching the definition files, libraries, module files and settings: a change "
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
  pid_t server = getpid();
  pid_t pid = fork();
  if (pid < 0) {
    fprintf(stderr, "Reload failed: unable to fork (%s); the registry in service stays\n",
            strerror(errno));
    close(fds[0]);
    close(fds[1]);
    return;
  }
  if (pid == 0) run_preparation(prep.files, server, fds[1]);
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
  Lib* last_old = last_library();
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
  // The libraries the file lists now replace those it listed before, or
  // the other way round when its module is kept.
  forget_libraries_of(file.c_str(), last_old, why->empty());
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
  std::vector<std::string> files = definition_files();
  sets_pvm_files = getenv("VELMOR_DEFINITION_FILES") == nullptr;
  set_pvm_files(files);
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
  start_watching(files);
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
