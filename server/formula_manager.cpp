// FormulaManager records and their small helpers.
#include "formula_manager.h"

#include <fcntl.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

const char* debug_log_path = "/tmp/qn_pvm_server.log";

FormulaManager::FormulaManager()
    : formula_name(nullptr),
      fstart(nullptr),
      gstart(nullptr),
      mstart(nullptr),
      module_handle(nullptr),
      module_loaded(0),
      next(nullptr),
      functions{nullptr, nullptr},
      threads{nullptr, nullptr},
      live_threads{nullptr, nullptr} {
  protofile_name[0] = '\0';
  time_stamp[0] = '\0';
  stub_path[0] = '\0';
  memset(&file_identity, 0, sizeof(file_identity));
}

bool read_file_identity(const char* path, FormulaManager::FileIdentity* out) {
  struct stat st;
  if (stat(path, &st) != 0) return false;
  out->dev = st.st_dev;
  out->ino = st.st_ino;
  out->size = st.st_size;
  out->mtime_s = (long)st.st_mtim.tv_sec;
  out->mtime_ns = st.st_mtim.tv_nsec;
  out->ctime_s = (long)st.st_ctim.tv_sec;
  out->ctime_ns = st.st_ctim.tv_nsec;
  return true;
}

bool same_file_identity(const FormulaManager::FileIdentity& a,
                        const FormulaManager::FileIdentity& b) {
  return a.dev == b.dev && a.ino == b.ino && a.size == b.size && a.mtime_s == b.mtime_s &&
         a.mtime_ns == b.mtime_ns && a.ctime_s == b.ctime_s && a.ctime_ns == b.ctime_ns;
}

ExternDefinition* find_in_slice(const DeclarationSlice& slice, const char* name) {
  for (Llist<ExternDefinition*>* d = slice.first; d != slice.end; d = d->next) {
    if (d->data->NameMatch(name)) return d->data;
  }
  return nullptr;
}

FormulaManager* find_module(FormulaManager* list, const char* module) {
  for (FormulaManager* fm = list; fm != nullptr; fm = fm->next) {
    if (strcasecmp(fm->formula_name, module) == 0) return fm;
  }
  return nullptr;
}

int format_time_stamp(long seconds, char* out, int size) {
  time_t t = (time_t)seconds;
  struct tm tm;
  if (gmtime_r(&t, &tm) == nullptr) return 0;
  return (int)strftime(out, (size_t)size, "%d %b %Y %T %Z", &tm);
}

void debug(const char* text) {
  // O_NOFOLLOW: the log lives in /tmp, where anybody may plant a link.
  int fd = open(debug_log_path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return;
  size_t len = strlen(text);
  ssize_t n = write(fd, text, len);
  if (n == (ssize_t)len) n = write(fd, "\n", 1);
  (void)n;
  close(fd);
}
