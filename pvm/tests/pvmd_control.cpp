// Starts and halts the PVM daemon for the tests that need one.
//
//   pvmd_control start STATEFILE [HOSTFILE]
//                                  reuse a daemon that answers, else start one
//                                  (with HOSTFILE: the master of those hosts)
//   pvmd_control hosts N           wait until the virtual machine has N hosts
//   pvmd_control stop STATEFILE    halt the daemon if "start" started it
//
// STATEFILE holds the daemon's pid when we started it, 0 when we reused one;
// the daemon's own complaints go to STATEFILE.err. When it does not come up
// the reason is said in one line. Every wait is bounded; a daemon that will
// not halt is killed by pid.
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

// The daemon's log. A daemon this tool started is the test's own, and so is
// its log: it goes with the daemon (without namespaces /tmp is the machine's).
static void log_file(char* out, size_t size) {
  snprintf(out, size, "/tmp/pvml.%d", (int)getuid());
}

// The daemon's last complaint, from its standard error or else its log.
static void last_line_of(const char* path, char* out, size_t size) {
  FILE* f = fopen(path, "r");
  if (f == NULL) return;
  char line[512];
  while (fgets(line, sizeof line, f) != NULL) {
    line[strcspn(line, "\n")] = '\0';
    if (line[0] != '\0' && strstr(line, "pvmbailout") == NULL) snprintf(out, size, "%s", line);
  }
  fclose(f);
}

// Why the daemon did not come up, in one line a person can act on.
static void say_why(const char* err_file) {
  char reason[512] = "";
  last_line_of(err_file, reason, sizeof reason);
  if (reason[0] == '\0') {
    char log[64];
    log_file(log, sizeof log);
    last_line_of(log, reason, sizeof reason);
  }
  char host[256] = "";
  gethostname(host, sizeof host - 1);
  if (strstr(reason, "gethostbyname") != NULL)
    fprintf(stderr, "pvmd did not come up: its host name \"%s\" does not resolve "
            "(add it to /etc/hosts): %s\n", host, reason);
  else if (reason[0] != '\0')
    fprintf(stderr, "pvmd did not come up: %s\n", reason);
  else
    fprintf(stderr, "pvmd did not come up and left no reason (PVM_ROOT=%s)\n",
            getenv("PVM_ROOT") ? getenv("PVM_ROOT") : "unset");
}

static int start(const char* state_file, const char* host_file) {
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
  char err_file[1024];
  snprintf(err_file, sizeof err_file, "%s.err", state_file);
  pid_t pid = fork();
  if (pid == 0) {
    setsid();
    int devnull = open("/dev/null", O_RDWR);
    int err = open(err_file, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (devnull >= 0) { dup2(devnull, 0); dup2(devnull, 1); }
    dup2(err >= 0 ? err : devnull, 2);
    execl(pvmd, pvmd, host_file, (char*)NULL);
    _exit(127);
  }
  fprintf(f, "%d\n", (int)pid);
  fclose(f);
  for (int i = 0; i < 100; i++) {
    if (daemon_answers()) return 0;
    if (waitpid(pid, NULL, WNOHANG) == pid && i > 20) break;  // it gave up
    pause_ms(100);
  }
  say_why(err_file);
  kill(pid, SIGKILL);
  char log[64];
  log_file(log, sizeof log);
  unlink(log);
  return 1;
}

// Host count of the virtual machine as a child process sees it; -1 when no
// daemon answers.
static int host_count() {
  int pipe_fd[2];
  if (pipe(pipe_fd) != 0) return -1;
  pid_t child = fork();
  if (child == 0) {
    close(pipe_fd[0]);
    int devnull = open("/dev/null", O_WRONLY);
    if (devnull >= 0) dup2(devnull, 2);
    int nhost = -1, narch = 0;
    struct pvmhostinfo* hosts = NULL;
    if (pvm_mytid() > 0 && pvm_config(&nhost, &narch, &hosts) < 0) nhost = -1;
    pvm_exit();
    if (write(pipe_fd[1], &nhost, sizeof nhost) != sizeof nhost) _exit(1);
    _exit(0);
  }
  close(pipe_fd[1]);
  int nhost = -1;
  int status = 0;
  for (int i = 0; i < 100; i++) {
    if (waitpid(child, &status, WNOHANG) == child) {
      if (read(pipe_fd[0], &nhost, sizeof nhost) != sizeof nhost) nhost = -1;
      close(pipe_fd[0]);
      return nhost;
    }
    pause_ms(50);
  }
  kill(child, SIGKILL);
  waitpid(child, &status, 0);
  close(pipe_fd[0]);
  return -1;
}

static int wait_for_hosts(int wanted) {
  int seen = -1;
  for (int i = 0; i < 150; i++) {  // adding a host takes its remote shell and start-up
    seen = host_count();
    if (seen >= wanted) return 0;
    pause_ms(200);
  }
  fprintf(stderr, "the virtual machine has %d of %d hosts; see /tmp/pvml.%d for the ones missing\n",
          seen, wanted, (int)getuid());
  return 1;
}

static int stop(const char* state_file) {
  FILE* f = fopen(state_file, "r");
  if (f == NULL) return 0;
  int pid = 0;
  if (fscanf(f, "%d", &pid) != 1) pid = 0;
  fclose(f);
  unlink(state_file);
  char err_file[1024];
  snprintf(err_file, sizeof err_file, "%s.err", state_file);
  unlink(err_file);
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
  log_file(file, sizeof file);
  unlink(file);
  return 0;
}

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    fprintf(stderr, "usage: %s start STATEFILE [HOSTFILE] | hosts N | stop STATEFILE\n", argv[0]);
    return 2;
  }
  if (strcmp(argv[1], "start") == 0) return start(argv[2], argc == 4 ? argv[3] : NULL);
  if (strcmp(argv[1], "hosts") == 0) return wait_for_hosts(atoi(argv[2]));
  if (strcmp(argv[1], "stop") == 0) return stop(argv[2]);
  fprintf(stderr, "unknown command %s\n", argv[1]);
  return 2;
}
