// Starts and halts the PVM daemon for the tests that need one.
//
//   pvmd_control start STATEFILE   reuse a daemon that answers, else start one
//   pvmd_control stop STATEFILE    halt the daemon if "start" started it
//
// STATEFILE holds the daemon's pid when we started it, 0 when we reused one.
// Every wait is bounded; a daemon that will not halt is killed by pid.
#include <pvm3.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static void pause_ms(long ms) {
  struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&ts, NULL);
}

// 1 when a daemon answers in a child process (so this one stays unenrolled).
static int daemon_answers() {
  pid_t child = fork();
  if (child == 0) {
    int devnull = open("/dev/null", O_WRONLY);
    if (devnull >= 0) dup2(devnull, 2);
    int tid = pvm_mytid();
    if (tid > 0) pvm_exit();
    _exit(tid > 0 ? 0 : 1);
  }
  int status = 0;
  for (int i = 0; i < 100; i++) {
    if (waitpid(child, &status, WNOHANG) == child)
      return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    pause_ms(50);
  }
  kill(child, SIGKILL);
  waitpid(child, &status, 0);
  return 0;
}

static int alive(pid_t pid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/stat", (int)pid);
  FILE* f = fopen(path, "r");
  if (f == NULL) return 0;
  char state = '?';
  if (fscanf(f, "%*d (%*[^)]) %c", &state) != 1) state = '?';
  fclose(f);
  return state != 'Z' && state != 'X';
}

static void daemon_file(char* out, size_t size) {
  snprintf(out, size, "/tmp/pvmd.%d", (int)getuid());
}

static int start(const char* state_file) {
  FILE* f = fopen(state_file, "w");
  if (f == NULL) { perror(state_file); return 1; }
  if (daemon_answers()) {
    fprintf(f, "0\n");
    fclose(f);
    return 0;
  }
  char stale[64];
  daemon_file(stale, sizeof stale);
  unlink(stale);  // a daemon that died leaves it behind and blocks the next
  const char* root = getenv("PVM_ROOT");
  char pvmd[512];
  snprintf(pvmd, sizeof pvmd, "%s/lib/pvmd", root ? root : "/usr/lib/pvm3");
  pid_t pid = fork();
  if (pid == 0) {
    setsid();
    int devnull = open("/dev/null", O_RDWR);
    if (devnull >= 0) { dup2(devnull, 0); dup2(devnull, 1); dup2(devnull, 2); }
    execl(pvmd, pvmd, (char*)NULL);
    _exit(127);
  }
  fprintf(f, "%d\n", (int)pid);
  fclose(f);
  for (int i = 0; i < 100; i++) {
    if (daemon_answers()) return 0;
    pause_ms(100);
  }
  fprintf(stderr, "pvmd did not come up\n");
  kill(pid, SIGKILL);
  return 1;
}

static int stop(const char* state_file) {
  FILE* f = fopen(state_file, "r");
  if (f == NULL) return 0;
  int pid = 0;
  if (fscanf(f, "%d", &pid) != 1) pid = 0;
  fclose(f);
  unlink(state_file);
  if (pid <= 0) return 0;
  kill(pid, SIGTERM);
  for (int i = 0; i < 50 && alive(pid); i++) {
    waitpid(pid, NULL, WNOHANG);
    pause_ms(100);
  }
  if (alive(pid)) kill(pid, SIGKILL);
  char file[64];
  daemon_file(file, sizeof file);
  unlink(file);
  return 0;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s start|stop STATEFILE\n", argv[0]);
    return 2;
  }
  if (strcmp(argv[1], "start") == 0) return start(argv[2]);
  if (strcmp(argv[1], "stop") == 0) return stop(argv[2]);
  fprintf(stderr, "unknown command %s\n", argv[1]);
  return 2;
}
