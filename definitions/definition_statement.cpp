// What the two definition readers share beyond scanner and grammar: the
// collection of a definition's text, its hand-over to the reader's handler,
// the syntax error message and the read loop.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "definition_reader.h"
#include "definition_scanner.h"

char statement[STATEMENT_SIZE];
int state = 0;
int statement_line = 0;
// py_parse is the server-side reader; wp_parse swaps its own handler in.
DefinitionHandler definition_handler = record_server_definition;

namespace {

[[noreturn]] void statement_overflow(const char* what) {
  fprintf(stderr, "Not enough space (available %d, used %d) to strcat %s\n",
          (int)sizeof(statement), (int)strlen(statement), what);
  fprintf(stderr, "Sorry, exiting ...\n");
  exit(1);
}

}  // namespace

void statement_add_word(const char* word) {
  size_t used = strlen(statement);
  if (used == 0) statement_line = line_count;
  if (used > 0) {
    if (used >= sizeof(statement) - 1) statement_overflow(" ");
    statement[used++] = ' ';
    statement[used] = '\0';
  }
  size_t len = strlen(word);
  if (used + len > sizeof(statement) - 1) statement_overflow(word);
  memcpy(statement + used, word, len + 1);
}

void end_definition() {
  char text[STATEMENT_SIZE];
  memcpy(text, statement, sizeof(text));
  statement[0] = '\0';
  if (definition_handler != nullptr) definition_handler(state, text);
}

int definition_errors = 0;

void py_error(const char* msg) {
  (void)msg;
  definition_errors++;
  fprintf(stderr, "syntax error at line: %d, position: %d %s\n", line_count, column_count, "");
}

void definition_read_all(int (*parse)()) {
  while (!feof(py_in)) parse();
}

void trim(const char* text, char* out, size_t size) {
  if (size == 0) return;
  out[0] = '\0';
  if (text == nullptr) return;
  while (*text == ' ' || *text == '\t') text++;
  size_t len = strlen(text);
  while (len > 0 && (text[len - 1] == ' ' || text[len - 1] == '\t')) len--;
  if (len >= size) len = size - 1;
  memcpy(out, text, len);
  out[len] = '\0';
}
