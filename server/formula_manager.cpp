// FormulaManager records and their small helpers.
#include "formula_manager.h"

#include <fcntl.h>
#include <string.h>
#include <strings.h>
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
