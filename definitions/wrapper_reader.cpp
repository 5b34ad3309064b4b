// Wrapper-side recording of completed definitions.
#include "wrapper_reader.h"

#include <stdlib.h>
#include <string.h>

#include <new>

#include "definition_grammar.hpp"
#include "definition_paths.h"
#include "prototype_parser.h"

Llist<ExternDefinition*>* wp_ltype = nullptr;
Llist<ExternDefinition*>* wp_lfun = nullptr;
Llist<ExternDefinition*>* wp_lthread = nullptr;
Llist<ExternDefinition*>* wp_llive_thread = nullptr;
Lib* lstart = nullptr;

Lib* last_library() {
  Lib* last = lstart;
  while (last != nullptr && last->next != nullptr) last = last->next;
  return last;
}

void forget_libraries_of(const char* definition_file, Lib* last_old, bool old) {
  bool in_old_part = last_old != nullptr;
  for (Lib** at = &lstart; *at != nullptr;) {
    Lib* lib = *at;
    bool of_file = lib->file_at_work != nullptr && strcmp(lib->file_at_work, definition_file) == 0;
    bool was_old = in_old_part;
    if (lib == last_old) in_old_part = false;
    if (of_file && was_old == old) {
      *at = lib->next;
    } else {
      at = &lib->next;
    }
  }
}
Llist<DefnLine*>* definitions = nullptr;
char file_at_work[STATEMENT_SIZE];
char book_at_work[DEFN_BOOK_SIZE];

namespace {

// Declarations of earlier runs: never freed, so kept reachable here.
Llist<ExternDefinition*>* retired = nullptr;

void retire(Llist<ExternDefinition*>** list) {
  if (*list == nullptr) return;
  Llist<ExternDefinition*>* tail = *list;
  while (tail->next != nullptr) tail = tail->next;
  tail->next = retired;
  retired = *list;
  *list = nullptr;
}

// The path as the loader and the symbol lister are to see it: relative to the
// definition file, not to whoever reads it.
void record_library(char* text) {
  char written[STATEMENT_SIZE];
  trim(text, written, sizeof(written));
  char name[STATEMENT_SIZE];
  if (!resolve_definition_path(file_at_work, written, name, sizeof(name))) {
    fprintf(stderr, "Not enough space (available %d, used %d) to strcat %s\n", (int)sizeof(name),
            (int)strlen(file_at_work), written);
    fprintf(stderr, "Sorry, exiting ...\n");
    exit(1);
  }
  Lib* lib = (Lib*)malloc(sizeof(Lib));
  char* file = strdup(file_at_work);
  char* libname = strdup(name);
  if (lib == nullptr || file == nullptr || libname == nullptr) {
    fprintf(stderr,
            "Memory allocation failure in wrapper_parser, while parsing Libraries, context: %s\n",
            name);
    exit(1);
  }
  lib->file_at_work = file;
  lib->libname = libname;
  lib->next = nullptr;
  Lib** tail = &lstart;
  while (*tail != nullptr) tail = &(*tail)->next;
  *tail = lib;
}

[[noreturn]] void node_failure(bool threads, const char* text) {
  fprintf(stderr, "Memory allocation failure in wrapper_parser, while parsing %s, context: %s\n",
          threads ? "Threads" : "Functions", text);
  exit(1);
}

// The text with line ends, tabs and backslashes made blanks, for givemedefn.
void record_defn_line(int type, const char* text, bool threads) {
  DefnLine* d = new (std::nothrow) DefnLine;
  if (d == nullptr) node_failure(threads, text);
  snprintf(d->line, sizeof(d->line), "%s", text);
  for (char* c = d->line; *c != '\0'; c++) {
    if (*c == '\n' || *c == '\r' || *c == '\t' || *c == '\\') *c = ' ';
  }
  snprintf(d->book, sizeof(d->book), "%s", book_at_work);
  d->type = type;
  Llist<DefnLine*>* node = new (std::nothrow) Llist<DefnLine*>(d, definitions);
  if (node == nullptr) node_failure(threads, text);
  definitions = node;
}

void record_declaration(Llist<ExternDefinition*>** list, int type, char* text) {
  bool threads = type == DEFN_THREAD || type == DEFN_LIVE_THREAD;
  record_defn_line(type, text, threads);
  fp_set_string(text);
  if (fp_parse() != 0) {
    definition_errors++;
    if (threads) {
      printf("wrapper_parser (2) PARSE ERROR in the prototype definition -> %s\n", text);
    } else {
      printf("wrapper_parser (1): PARSE ERROR in the prototype definition -> %s\n", text);
    }
    return;
  }
  extern_definition_root->source_line = statement_line;
  Llist<ExternDefinition*>* node =
      new (std::nothrow) Llist<ExternDefinition*>(extern_definition_root, *list);
  if (node == nullptr) node_failure(threads, text);
  *list = node;
}

}  // namespace

void record_wrapper_definition(int section, char* text) {
  switch (section) {
    case LIBRARY: record_library(text); break;
    case TYPE: record_declaration(&wp_ltype, DEFN_TYPE, text); break;
    case FUNCTION: record_declaration(&wp_lfun, DEFN_FUNCTION, text); break;
    case THREAD: record_declaration(&wp_lthread, DEFN_THREAD, text); break;
    case LIVE_THREAD: record_declaration(&wp_llive_thread, DEFN_LIVE_THREAD, text); break;
    default: break;  // formulae, generators and modules are the server's
  }
}

int wp_lex() { return py_lex(); }

int wp_parse() {
  DefinitionHandler saved = definition_handler;
  definition_handler = record_wrapper_definition;
  int result = py_parse();
  definition_handler = saved;
  return result;
}

void wp_error(const char* msg) { py_error(msg); }

int wp_read_file(FILE* in, const char* path, const char* module) {
  retire(&wp_llive_thread);
  retire(&wp_lthread);
  retire(&wp_lfun);
  retire(&wp_ltype);
  size_t path_len = strlen(path);
  size_t module_len = strlen(module);
  if (path_len >= sizeof(file_at_work) || module_len >= sizeof(book_at_work)) {
    fprintf(stderr, "Not enough space (available %d) to strcpy %s\n",
            (int)(path_len >= sizeof(file_at_work) ? sizeof(file_at_work) : sizeof(book_at_work)),
            path_len >= sizeof(file_at_work) ? path : module);
    return 0;
  }
  memcpy(file_at_work, path, path_len + 1);
  memcpy(book_at_work, module, module_len + 1);
  line_count = 1;
  column_count = 1;
  definition_begin_file(in);
  definition_read_all(wp_parse);
  return 1;
}

int module_name_of(const char* path, char* out, size_t size) {
  if (size == 0 || strlen(path) > MODULE_PATH_LIMIT) return 0;
  const char* base = strrchr(path, '/');
  base = base != nullptr ? base + 1 : path;
  const char* end = base;
  while (*end == '.') end++;
  while (*end != '\0' && *end != '.') end++;
  size_t len = (size_t)(end - base);
  if (len >= size) return 0;
  memcpy(out, base, len);
  out[len] = '\0';
  return 1;
}
