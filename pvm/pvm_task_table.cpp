#include "pvm_task_table.h"

#include <pvm3.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "pvm_buffers.h"

PVM_Task_Table pvm_task_manager;

// A slot count this large is a typo, not a site.
static const long kMaxPoolSize = 65536;

// Tag of the daemon's notice that a worker task has ended, its host lost
// included. Far above the tags of calls, which count up from 1.
static const int kTaskExitTag = 0x7ffffff0;
// The local part of a task id; 0 in the id of a daemon, which sends notices.
static const int kTidLocalMask = 0x3ffff;

int PVM_Task_Table::pool_size_from(const char* text) {
  if (text == NULL) return 0;
  char* end = NULL;
  errno = 0;
  long value = strtol(text, &end, 10);
  if (end == text || errno != 0) return 0;
  while (*end == ' ' || *end == '\t') end++;
  if (*end != '\0' || value <= 0) return 0;
  if (value > kMaxPoolSize) {
    fprintf(stderr, "MAX_PVM_PROCESSES (%ld) is too large, PVM is not used\n", value);
    return 0;
  }
  return (int)value;
}

PVM_Task_Table::PVM_Task_Table() {
  pool_size = pool_size_from(getenv("MAX_PVM_PROCESSES"));
  pvm_task_struct empty = {0, 0};
  pvm_task_ids.assign(pool_size, empty);
}

PVM_Task_Table::~PVM_Task_Table() {
  int killed = 0;
  for (int i = 0; i < pool_size; i++) {
    if (pvm_task_ids[i].task_id > 0) {
      end_task_id(i);
      killed = 1;
    }
  }
  if (killed) {
    PvmBufferScope scope;
    pvm_exit();
  }
}

int PVM_Task_Table::inside(int index) const {
  return (unsigned)index < (unsigned)pool_size;
}

// The server's definition files, one per line: the command-line arguments
// that are neither options nor the port after -p.
static std::string definition_files_from_cmdline() {
  std::string files;
  FILE* f = fopen("/proc/self/cmdline", "r");
  if (f == NULL) return files;
  std::string arg;
  int index = 0;
  int skip_next = 0;
  int c;
  while ((c = fgetc(f)) != EOF) {
    if (c != '\0') {
      arg += (char)c;
      continue;
    }
    if (index++ > 0) {
      if (skip_next) {
        skip_next = 0;
      } else if (arg == "-p") {
        skip_next = 1;
      } else if (strcasecmp(arg.c_str(), "-t") != 0 &&
                 strcasecmp(arg.c_str(), "--test") != 0) {
        if (!files.empty()) files += '\n';
        files += arg;
      }
    }
    arg.clear();
  }
  fclose(f);
  return files;
}

// Spawned tasks get the daemon's environment plus the variables named in
// PVM_EXPORT; the worker needs the server's settings.
static void export_settings_to_tasks() {
  if (getenv("VELMOR_DEFINITION_FILES") == NULL)
    setenv("VELMOR_DEFINITION_FILES", definition_files_from_cmdline().c_str(), 1);
  std::string names = getenv("PVM_EXPORT") ? getenv("PVM_EXPORT") : "";
  static const char* const kNames[] = {
      "VELMOR_BIN_DIR", "VELMOR_LOG_DIR", "VELMOR_DEFINITION_FILES", "VELMOR_PVM_TRACE",
      "EXECUTION_MODEL", "LD_LIBRARY_PATH", "PATH", "ASAN_OPTIONS", "UBSAN_OPTIONS",
      "LSAN_OPTIONS"};
  for (const char* name : kNames) {
    std::string padded = ":" + names + ":";
    if (padded.find(std::string(":") + name + ":") != std::string::npos) continue;
    if (!names.empty()) names += ':';
    names += name;
  }
  setenv("PVM_EXPORT", names.c_str(), 1);
}

// The last line of the local pvmd's log, where it says why it stopped. It
// lies where PVM keeps its files: PVM_TMP, else /tmp.
static std::string pvmd_log_tail() {
  const char* dir = getenv("PVM_TMP");
  char path[600];
  snprintf(path, sizeof path, "%s/pvml.%d", dir != NULL && *dir != '\0' ? dir : "/tmp", (int)getuid());
  FILE* f = fopen(path, "r");
  if (f == NULL) return "";
  std::string last;
  char line[512];
  while (fgets(line, sizeof line, f) != NULL) {
    line[strcspn(line, "\n")] = '\0';
    if (line[0] != '\0' && strstr(line, "pvmbailout") == NULL) last = line;
  }
  fclose(f);
  return last.empty() ? "" : std::string(path) + " ends: " + last;
}

// Why PVM could not start a worker task, in one line a site can act on.
static void say_why_spawn_failed(int code, const char* script) {
  switch (code) {
    case PvmSysErr: {
      std::string tail = pvmd_log_tail();
      fprintf(stderr, "PVM: no pvmd answers for this user on this host; start it (pvm, or "
              "$PVM_ROOT/lib/pvmd with a host file) before Velmord%s%s\n",
              tail.empty() ? "" : "; ", tail.c_str());
      break;
    }
    case PvmNoFile:
      fprintf(stderr, "PVM: the host chosen for the worker has no %s (every worker host needs "
              "the programs at the same path)\n", script);
      break;
    case PvmNoHost:
      fprintf(stderr, "PVM: no host of the virtual machine can take the worker task\n");
      break;
    case PvmOutOfRes:
    case PvmNoMem:
      fprintf(stderr, "PVM: out of resources starting the worker task (error %d)\n", code);
      break;
    default:
      fprintf(stderr, "PVM: pvm_spawn failed with error %d\n", code);
      break;
  }
}

int PVM_Task_Table::create_pvm_task(int index) {
  if (pool_size == 0) return 0;

  const char* bin_dir = getenv("VELMOR_BIN_DIR");
  if (bin_dir == NULL || *bin_dir == '\0') bin_dir = ".";
  char cwd[512];
  if (getcwd(cwd, sizeof cwd) == NULL) {
    fprintf(stderr, "You stupid, I cannot work in this deep directory\n");
    exit(0);
  }
  // The daemon does not run in our directory, so the script path must be absolute.
  char script[1024];
  int n = bin_dir[0] == '/'
              ? snprintf(script, sizeof script, "%s/Velmor.sh", bin_dir)
              : snprintf(script, sizeof script, "%s/%s/Velmor.sh", cwd, bin_dir);
  if (n < 0 || (size_t)n >= sizeof script) {
    fprintf(stderr, "Not enough space (available %d) to strcpy %s\n", (int)sizeof script, bin_dir);
    fprintf(stderr, "Sorry, exiting ...\n");
    exit(1);
  }
  printf("creating pvm task... -%s-\n", script);
  fflush(stdout);

  if (!inside(index)) {
    fprintf(stderr, "PVM slot %d is outside the table of %d, no task started\n", index, pool_size);
    return 0;
  }
  if (pvm_task_ids[index].task_id > 0) return pvm_task_ids[index].task_id;

  export_settings_to_tasks();
  char start_word[] = "pvm_start";
  char* argv[] = {start_word, cwd, NULL};
  char where[] = "";
  int tid = 0;
  int started;
  {
    PvmBufferScope scope;
    started = pvm_spawn(script, argv, PvmTaskDefault, where, 1, &tid);
  }
  if (started != 1) {
    fprintf(stderr, "Error starting ...%s\n", script);
    say_why_spawn_failed(started < 0 ? started : tid, script);
    PvmBufferScope scope;
    pvm_exit();
    exit(1);
  }
  pvm_task_ids[index].task_id = tid;
  pvm_task_ids[index].task_status = 1;
  {
    // So that a task that dies, or a host that goes, while the slot is idle
    // is known before the slot's next call is sent to it.
    PvmBufferScope scope;
    if (pvm_notify(PvmTaskExit, kTaskExitTag, 1, &tid) < 0)
      fprintf(stderr, "PVM: no notice will come if worker task %x ends\n", tid);
  }
  return tid;
}

// Takes the daemon's notices of ended tasks that have arrived, without
// waiting, and records those tasks as lost.
static void collect_exit_notices() {
  PvmBufferScope scope;
  int bufid;
  while ((bufid = pvm_nrecv(-1, kTaskExitTag)) > 0) {
    int bytes = 0, tag = 0, from = 0, dead = 0;
    if (pvm_bufinfo(bufid, &bytes, &tag, &from) >= 0 && (from & kTidLocalMask) == 0 &&
        pvm_upkint(&dead, 1, 1) >= 0)
      pvm_note_lost_task(dead);
    pvm_freebuf(bufid);
  }
}

int PVM_Task_Table::get_task_id(int index) {
  if (pool_size == 0 || !inside(index)) return 0;
  int tid = pvm_task_ids[index].task_id;
  if (tid > 0) collect_exit_notices();
  if (tid > 0 && pvm_task_lost(tid)) {
    // A call found this slot's worker dead: start a fresh one for the next.
    fprintf(stderr, "PVM worker task %x of slot %d is gone, starting a new one\n", tid, index);
    end_task_id(index);
    pvm_forget_lost_task(tid);
    create_pvm_task(index);
  }
  return pvm_task_ids[index].task_id >= 1 ? pvm_task_ids[index].task_id : 0;
}

int PVM_Task_Table::end_task_id(int index) {
  if (pool_size == 0 || !inside(index)) return 0;
  if (pvm_task_ids[index].task_id > 0) {
    PvmBufferScope scope;
    pvm_kill(pvm_task_ids[index].task_id);
  }
  pvm_task_ids[index].task_id = 0;
  return pvm_task_ids[index].task_id;
}
