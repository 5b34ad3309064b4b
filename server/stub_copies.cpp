#include "stub_copies.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "bounded_copy.h"
#include "wrapper_directory.h"

static std::string copies_dir;

static std::string log_dir() {
  const char* dir = getenv("VELMOR_LOG_DIR");
  return dir != nullptr && *dir != '\0' ? dir : "./log/";
}

static void remove_tree(const std::string& dir) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return;
  while (dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    unlink((dir + "/" + e->d_name).c_str());
  }
  closedir(d);
  rmdir(dir.c_str());
}

// Directories "loaded.PID" of servers that are gone (killed, crashed).
static void remove_stale_copies(const std::string& base) {
  DIR* d = opendir(base.c_str());
  if (d == nullptr) return;
  while (dirent* e = readdir(d)) {
    if (strncmp(e->d_name, "loaded.", 7) != 0) continue;
    char* end = nullptr;
    long pid = strtol(e->d_name + 7, &end, 10);
    if (end == e->d_name + 7 || *end != '\0' || pid <= 0) continue;
    if (pid == getpid() || kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
    remove_tree(base + "/" + e->d_name);
  }
  closedir(d);
}

bool open_stub_copies() {
  std::string base = log_dir();
  remove_stale_copies(base);
  copies_dir = base + "/loaded." + std::to_string(getpid());
  remove_tree(copies_dir);
  if (mkdir(copies_dir.c_str(), 0700) != 0) {
    fprintf(stderr, "Unable to make the directory %s for the loaded stub libraries: %s\n",
            copies_dir.c_str(), strerror(errno));
    copies_dir.clear();
    return false;
  }
  return true;
}

bool copy_file_keeping_time(const char* from, const char* to) {
  int in = open(from, O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  struct stat st;
  if (fstat(in, &st) != 0) {
    close(in);
    return false;
  }
  std::string temporary = std::string(to) + ".part";
  int out = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, st.st_mode & 0777);
  bool ok = out >= 0;
  char buffer[65536];
  while (ok) {
    ssize_t n = read(in, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    for (ssize_t done = 0; ok && done < n;) {
      ssize_t w = write(out, buffer + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      ok = w > 0;
      if (ok) done += w;
    }
  }
  int err = errno;
  if (out >= 0) {
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (ok) ok = futimens(out, times) == 0 && fsync(out) == 0;
    err = ok ? 0 : errno;
    if (close(out) != 0 && ok) {
      ok = false;
      err = errno;
    }
  }
  close(in);
  if (ok && rename(temporary.c_str(), to) != 0) {
    ok = false;
    err = errno;
  }
  if (!ok) unlink(temporary.c_str());
  errno = err;
  return ok;
}

bool copy_stub(const char* module, unsigned generation, char* out, size_t size, char* why,
               size_t why_size) {
  if (copies_dir.empty()) {
    snprintf(why, why_size, "there is no directory for loaded stub libraries");
    return false;
  }
  std::string from = std::string(wrapper_directory) + "/" + module + ".so";
  std::string to = copies_dir + "/" + module + "." + std::to_string(generation) + ".so";
  if (to.size() >= size) {
    snprintf(why, why_size, "the path of its stub library's copy is too long");
    return false;
  }
  if (!copy_file_keeping_time(from.c_str(), to.c_str())) {
    snprintf(why, why_size, "unable to copy its stub library %s: %s", from.c_str(),
             strerror(errno));
    return false;
  }
  bounded_strcpy(out, to.c_str(), static_cast<int>(size));
  return true;
}

void prune_stub_copies(const char* const* keep, size_t count) {
  if (copies_dir.empty()) return;
  DIR* d = opendir(copies_dir.c_str());
  if (d == nullptr) return;
  while (dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    std::string path = copies_dir + "/" + e->d_name;
    bool kept = false;
    for (size_t i = 0; i < count && !kept; i++) kept = keep[i] != nullptr && path == keep[i];
    if (!kept) unlink(path.c_str());
  }
  closedir(d);
}

void remove_stub_copies() {
  if (!copies_dir.empty()) remove_tree(copies_dir);
}
