#include "startup.h"

#include <errno.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include <new>

#include <sys/wait.h>

#include <string>

#include "address_filter.h"
#include "definition_list.h"
#include "registry_reload.h"
#include "bounded_copy.h"
#include "execution_model.h"
#include "process_manager.h"
#include "tarrow.h"
#include "wrapper_interface.h"

// Worker processes when MAX_PROCESSES is not set.
static const int kDefaultKids = 4;
static const int kDefaultThreadsPerKid = 512;

void display_help() {
  fprintf(stderr, "Usage: Velmord.exe [-p port] [-s | --single] prototype_file ...\n");
  fprintf(stderr, "(or)\n");
  fprintf(stderr, "Usage: Velmord.exe [-t | --test] prototype_file ...\n");
}

// The whole story on stdout, for "Velmord --help".
static void display_long_help() {
  printf(
      "Usage: Velmord [-p port] [-t | --test] prototype_file ...\n"
      "Serves the functions of the prototype (definition) files to Excel clients over TCP.\n"
      "Each file's stub library and VBA module are generated into VELMOR_LOG_DIR when the\n"
      "file is newer than its stub library. Relative paths in a file are taken relative to\n"
      "the file's own directory.\n"
      "\n"
      "  -p port       TCP port to listen on (default 9999)\n"
      "  -t, --test    run the whole start-up, then exit without serving\n"
      "  --help        this text\n"
      "\n"
      "Environment:\n"
      "  VELMOR_BIN_DIR           holds system.info and Velmor.sh (default ./)\n"
      "  VELMOR_LOG_DIR           writable: generated files, map.info, velmor.pid (default ./log/)\n"
      "  EXECUTION_MODEL          PROCESS_POOL (default) or PROCESS_PER_USER\n"
      "  MAX_PROCESSES            worker processes (default %d)\n"
      "  MAX_THREADS_PER_PROCESS  0 serves one conversation at a time (default %d)\n"
      "  ALLOW_CLIENTS            blank-separated address/mask pairs admitted\n"
      "  MAX_PVM_PROCESSES        PVM worker tasks, one per worker slot (default none)\n"
      "\n"
      "  VELMOR_SETTINGS          a settings file (KEY=value lines) whose VELMOR_DEFINITIONS\n"
      "                           adds definition files, read again at each reload\n"
      "  VELMOR_WATCH             yes: reload by itself when a definition file, library or\n"
      "                           module file changes (read from VELMOR_SETTINGS too)\n"
      "\n"
      "SIGHUP ends the server and its workers; SIGUSR1 restarts the workers; SIGUSR2\n"
      "reloads the definition files and libraries without dropping a call.\n",
      kDefaultKids, kDefaultThreadsPerKid);
}

int check_availability(const char* path) {
  FILE* f = fopen(path, "r");
  if (f == nullptr) return 0;
  fclose(f);
  return 1;
}

void check_and_set_env() {
  if (getenv("VELMOR_BIN_DIR") == nullptr) {
    fprintf(stderr, "VELMOR_BIN_DIR is not set, defaults to './'\n");
    setenv("VELMOR_BIN_DIR", "./", 1);
  }
  if (getenv("VELMOR_LOG_DIR") == nullptr) {
    fprintf(stderr, "VELMOR_LOG_DIR is not set, defaults to './log/'\n");
    setenv("VELMOR_LOG_DIR", "./log/", 1);
  }
}

int check_accessability() {
  char path[VELMOR_PATH_SIZE];
  bounded_strcpy(path, getenv("VELMOR_BIN_DIR"), sizeof(path));
  bounded_strcat(path, "/", sizeof(path));
  bounded_strcat(path, "system.info", sizeof(path));
  if (!check_availability(path)) {
    fprintf(stderr, "File (%s) is not available. Please contact support\n", path);
    return 0;
  }

  const char* log_dir = getenv("VELMOR_LOG_DIR");
  bounded_strcpy(path, log_dir, sizeof(path));
  bounded_strcat(path, "/ping", sizeof(path));
  FILE* ping = fopen(path, "w");
  if (ping == nullptr) {
    fprintf(stderr,
            "Directory (%s) is not available or accessible (don't have write permission). "
            "Please contact support\n",
            log_dir);
    return 0;
  }
  fclose(ping);
  return 1;
}

void out_of_memory() {
  fprintf(stderr, "Insufficient Memory.... exiting\n");
  throw std::bad_alloc();
}

static void read_execution_model() {
  execution_model = PROCESS_POOL;
  const char* model = getenv("EXECUTION_MODEL");
  if (model != nullptr && strncmp(model, "PROCESS_PER_USER", 16) == 0)
    execution_model = PROCESS_PER_USER;
}

static void read_process_counts() {
  const char* kids = getenv("MAX_PROCESSES");
  if (kids == nullptr) {
    fprintf(stderr, "MAX_PROCESSES is not set, defaults to %d.\n", kDefaultKids);
    max_kids = kDefaultKids;
  } else {
    max_kids = atoi(kids);
    // A negative count is as meaningless as 0.
    if (max_kids < 1) {
      fprintf(stderr, "MAX_PROCESSES is not a valid value. defaults to 1.\n");
      max_kids = 1;
    }
  }
  PM.set_kids_count(max_kids);
  if (max_kids == 1 && execution_model == PROCESS_PER_USER) execution_model = PROCESS_POOL;

  const char* threads = getenv("MAX_THREADS_PER_PROCESS");
  if (threads == nullptr) {
    fprintf(stderr, "MAX_THREADS_PER_PROCESS is not defined, defaults to %d\n",
            kDefaultThreadsPerKid);
    max_threads_per_kid = kDefaultThreadsPerKid;
  } else {
    max_threads_per_kid = atoi(threads);
    fprintf(stderr, "MAX_THREADS_PER_PROCESS = %d\n", max_threads_per_kid);
  }
}

static void print_summary() {
  fprintf(stderr, "----------------- SUMMARY --------------\n");
  fprintf(stderr, "EXECUTION_MODEL: %s\n",
          execution_model == PROCESS_PER_USER ? "PROCESS_PER_USER" : "PROCESS_POOL");
  fprintf(stderr, "MAX_PROCESSES: %d\n", max_kids);
  fprintf(stderr, "MAX_THREADS_PER_PROCESS: %d\n", max_threads_per_kid);
  fprintf(stderr, "----------------------------------------\n");
}

// After the "not found" line for a file that is there but cannot be read,
// the reason: most often the service's own user lacks the right to read it
// or to search a directory above it (a home directory of mode 0700, /root).
static void explain_unavailable(int err) {
  if (err == ENOENT || err == ENOTDIR) return;
  if (err == EACCES || err == EPERM) {
    const struct passwd* pw = getpwuid(geteuid());
    if (pw != nullptr)
      fprintf(stderr, "permission denied: the server runs as user %s\n", pw->pw_name);
    else
      fprintf(stderr, "permission denied: the server runs as user id %d\n", (int)geteuid());
    return;
  }
  fprintf(stderr, "cannot read it: %s\n", strerror(err));
}

// Generates, builds and registers one prototype file; a file that fails is
// reported and skipped so that the server still starts with the others.
static void load_prototype_file(char* file) {
  if (!check_availability(file)) {
    int err = errno;
    fprintf(stderr, "file (%s) not found, continuing with the rest\n", file);
    explain_unavailable(err);
    return;
  }
  printf("================ %s ===========\n", file);
  if (!wrapper_interface(file)) {
    fprintf(stderr, "Unable to generate wrappers for %s, continuing with the rest.\n", file);
    return;
  }
  if (!FS.load_formulae(file))
    fprintf(stderr, "Failed to load formulae_file '%s', continuing with the rest.\n", file);
}

// Walks the command line. Returns 1 in test mode, 0 otherwise; a -p without
// its value ends the program.
static int walk_arguments(int argc, char** argv) {
  int test_mode = 0;
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "-p") == 0) {
      if (i + 1 >= argc) {
        display_help();
        exit(1);
      }
      FS.set_port(argv[++i]);
    } else if (strcasecmp(argv[i], "-t") == 0 || strcasecmp(argv[i], "--test") == 0) {
      fprintf(stderr, "\nRunning in test mode, please watch out for errors ...\n");
      test_mode = 1;
    } else {
      add_command_line_definition(argv[i]);
      load_prototype_file(argv[i]);
    }
  }
  for (const std::string& file : settings_definitions())
    load_prototype_file(const_cast<char*>(file.c_str()));
  return test_mode;
}

// With forked workers the server itself never loads a library: a worker
// forked after a reload must load the new libraries, and a process finds a
// library it has loaded once by its name ever after. Whether everything
// loads is seen in a child, with the messages and the status of a failure.
static int check_libraries_load() {
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid < 0) {
    fprintf(stderr, "Unable to fork to load the libraries: %s\n", strerror(errno));
    return 0;
  }
  if (pid == 0) {
    FS.load_libraries();
    fflush(stdout);
    fflush(stderr);
    _exit(0);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return 1;
  exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
}

static int read_configuration() {
  if (max_kids == 1) return FS.readConfiguration();
  if (!check_libraries_load()) return 0;
  register_formulae(FS.fm_list);
  return 1;
}

static volatile sig_atomic_t early_reload = 0;

static void note_early_reload(int) { early_reload = 1; }

// The serving handler first, then the request that came before it: none is
// lost in between.
static void take_early_reload() {
  if (max_kids == 1) {
    signal(SIGUSR2, ProcessManager::refuse_reload);
    if (early_reload) ProcessManager::refuse_reload(SIGUSR2);
    return;
  }
  reload_setup();
  signal(SIGUSR2, ProcessManager::reload_registry);
  if (early_reload) request_reload();
}

int velmord_start(int argc, char** argv) {
  const char* default_port = "9999";
  // Line-buffered even into a log file: a worker that ends by a signal (or
  // _exit) must not take buffered diagnostics with it. Workers inherit it.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  // A reload asked for while the stubs still compile (systemctl reload right
  // after a start) must not end the server, SIGUSR2's default; it is done
  // (or refused) once the server serves.
  signal(SIGUSR2, note_early_reload);
  if (argc < 2) {
    display_help();
    return 1;
  }
  if (argc == 2 && strcmp(argv[1], "--help") == 0) {
    display_long_help();
    return 0;
  }

  int filter = load_valid_entries();
  if (filter < 0) {
    fprintf(stderr, "ALLOW_CLIENTS is not usable, please correct it. Exiting.\n");
    return 1;
  }
  if (filter == 0)
    fprintf(stderr,
            "Application level firewall (ALLOW_CLIENTS) is not set. Anybody can connect to "
            "Velmor.\n");

  check_and_set_env();
  if (!check_accessability()) return 1;
  FS.set_port(default_port);
  read_execution_model();
  read_process_counts();
  print_summary();

  int test_mode = walk_arguments(argc, argv);

  if (!read_configuration()) {
    fprintf(stderr, "Failed to read formula_files.\n");
    return 0;
  }
  if (!FS.printConfiguration()) {
    fprintf(stderr, "failed print formulae server details.\n");
    return 0;
  }
  if (test_mode) {
    printf("Test completed. Exiting...\n");
    return 0;
  }

  std::set_new_handler(out_of_memory);
  take_early_reload();
  PM.Run();
  // Serving could not start (the port is taken): a failure, so that a
  // service manager restarts the server.
  return 1;
}
