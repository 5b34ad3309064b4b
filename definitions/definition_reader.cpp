// Server-side recording of completed definitions.
#include "definition_reader.h"

#include <stdlib.h>
#include <string.h>

#include <new>

#include "definition_grammar.hpp"
#include "prototype_parser.h"

Formula* fstart = nullptr;
Formula* gstart = nullptr;
Node* mstart = nullptr;
Llist<ExternDefinition*>* lfun = nullptr;
Llist<ExternDefinition*>* lthread = nullptr;
Llist<ExternDefinition*>* llive_thread = nullptr;
Llist<ExternDefinition*>* ltype = nullptr;

namespace {

void append_formula(Formula** list, Formula* f) {
  while (*list != nullptr) list = &(*list)->next;
  *list = f;
}

// "usage = application": text before the first "=" (leading "=" skipped),
// text after it up to a carriage return; both trimmed.
void record_formula(Formula** list, char* text, const char* kind) {
  char* usage = text;
  while (*usage == '=') usage++;
  char* app = strchr(usage, '=');
  if (app != nullptr) {
    *app++ = '\0';
    char* cr = strchr(app, '\r');
    if (cr != nullptr) *cr = '\0';
  }
  char usage_name[STATEMENT_SIZE];
  char app_name[STATEMENT_SIZE];
  trim(usage, usage_name, sizeof(usage_name));
  trim(app, app_name, sizeof(app_name));
  Formula* f = (Formula*)malloc(sizeof(Formula));
  char* u = strdup(usage_name);
  char* a = strdup(app_name);
  if (f == nullptr || u == nullptr || a == nullptr) {
    fprintf(stderr, "Memory allocation failed in parse.yacc, while reading %s, context: %s %s\n",
            kind, usage_name, app_name);
    exit(1);
  }
  f->usageName = u;
  f->appName = a;
  f->poll = 0;
  f->next = nullptr;
  append_formula(list, f);
}

void record_module(char* text) {
  char name[STATEMENT_SIZE];
  trim(text, name, sizeof(name));
  Node* n = (Node*)malloc(sizeof(Node));
  char* data = strdup(name);
  if (n == nullptr || data == nullptr) {
    fprintf(stderr, "Memory allocation failed in parse.yacc, while reading Modules, context: %s\n",
            name);
    exit(1);
  }
  n->data = data;
  n->next = nullptr;
  Node** tail = &mstart;
  while (*tail != nullptr) tail = &(*tail)->next;
  *tail = n;
}

void record_declaration(Llist<ExternDefinition*>** list, char* text, bool threads) {
  fp_set_string(text);
  if (fp_parse() != 0) {
    definition_errors++;
    if (threads) {
      printf("parse.yacc: Syntax error in the prototype definition in line %d -> %s\n",
             line_count, text);
    } else {
      printf("wrapper_parser (1): Syntax error in the prototype definition -> %s\n", text);
    }
    return;
  }
  Llist<ExternDefinition*>* node =
      new (std::nothrow) Llist<ExternDefinition*>(extern_definition_root, *list);
  if (node == nullptr) {
    fprintf(stderr, "Memory allocation failed in parse.yacc, while reading %s, context: %s\n",
            threads ? "Threads" : "Functions", text);
    exit(1);
  }
  *list = node;
}

}  // namespace

void record_server_definition(int section, char* text) {
  switch (section) {
    case FORMULA: record_formula(&fstart, text, "Formulae"); break;
    case GENERATOR: record_formula(&gstart, text, "Generators"); break;
    case MODULE: record_module(text); break;
    case TYPE: record_declaration(&ltype, text, false); break;
    case FUNCTION: record_declaration(&lfun, text, false); break;
    case THREAD: record_declaration(&lthread, text, true); break;
    case LIVE_THREAD: record_declaration(&llive_thread, text, true); break;
    default: break;  // LIBRARIES: only the wrapper-side reader records them
  }
}

void py_read_file(FILE* in) {
  fstart = nullptr;
  gstart = nullptr;
  mstart = nullptr;
  line_count = 1;
  column_count = 1;
  definition_handler = record_server_definition;
  definition_begin_file(in);
  definition_read_all(py_parse);
}
