// Scanner of prototypes. Written by hand because of its escape rule: a
// backslash makes the next character part of the word or quoted text being
// read, while at the start of a token that character keeps its usual meaning;
// a backslash before a line end is dropped together with it.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "fp_parser.hpp"
#include "prototype_parser.h"

char fp_Token[FP_TEXT_SIZE];

namespace {

char text[FP_TEXT_SIZE];
size_t position;

const int kEnd = -1;

// The next character after the escape rule, or kEnd; *escaped tells whether
// a backslash stood before it.
int read_char(bool* escaped) {
  *escaped = false;
  for (;;) {
    char c = text[position];
    if (c == '\0') return kEnd;
    position++;
    if (c != '\\') return (unsigned char)c;
    char after = text[position];
    if (after == '\0') return kEnd;  // a final backslash ends the text
    position++;
    if (after == '\r' || after == '\n') continue;
    *escaped = true;
    return (unsigned char)after;
  }
}

int peek_char(bool* escaped) {
  size_t saved = position;
  int c = read_char(escaped);
  position = saved;
  return c;
}

bool ends_word(int c) {
  return c == kEnd || (c != 0 && strchr(" \t(),;*&[<>", c) != nullptr);
}

struct Keyword {
  const char* word;
  int token;
};

const Keyword kKeywords[] = {
    {"int", TO_INT},       {"void", TO_INT},       {"long", TO_LONG},
    {"float", TO_FLOAT},   {"double", TO_DOUBLE},  {"char", TO_CHAR},
    {"string", TO_STRING}, {"range", RANGE},       {"vector", VECTOR},
    {"excelchannel", EXCEL_CHANNEL},               {"const", CONST_FLAG},
};

int word_token() {
  for (const Keyword& k : kKeywords) {
    if (strcasecmp(fp_Token, k.word) != 0) continue;
    if (k.token == TO_INT) fp_lval.flag = strcasecmp(fp_Token, "void") == 0;
    return k.token;
  }
  fp_lval.name = strdup(fp_Token);
  return LIT;
}

void append(size_t* len, int c) {
  if (*len + 1 < sizeof(fp_Token)) fp_Token[(*len)++] = (char)c;
  fp_Token[*len] = '\0';
}

int read_quoted(int quote) {
  size_t len = 0;
  append(&len, quote);
  bool escaped;
  int c;
  while ((c = read_char(&escaped)) != kEnd) {
    append(&len, c);
    if (c == quote && !escaped) break;
  }
  if (c == kEnd) append(&len, quote);
  fp_lval.name = strdup(fp_Token);
  return LIT;
}

int read_word(int first) {
  size_t len = 0;
  append(&len, first);
  bool escaped;
  for (;;) {
    int c = peek_char(&escaped);
    if (c == kEnd || (!escaped && ends_word(c))) break;
    read_char(&escaped);
    append(&len, c);
  }
  return word_token();
}

}  // namespace

void fp_set_string(char* s) {
  size_t n = strlen(s);
  if (n >= sizeof(text)) {
    fprintf(stderr, "Not enough space (available %d) to strcpy %s\n", (int)sizeof(text), s);
    fprintf(stderr, "Sorry, exiting ...\n");
    exit(1);
  }
  memcpy(text, s, n + 1);
  position = 0;
  fp_Token[0] = '\0';
}

int fp_lex() {
  bool escaped;
  int c;
  do {
    c = read_char(&escaped);
  } while (c == ' ' || c == '\t');
  switch (c) {
    case kEnd:
      return 0;
    case '(': case ')': case ',': case ';': case '<': case '>':
      return c;
    case '*':
      return STAR;
    case '&':
      return REFERENCE;
    case '[':
      if (peek_char(&escaped) != ']') return BAD_BRACKET;
      read_char(&escaped);
      return ARRAY;
    case '"': case '\'':
      return read_quoted(c);
    default:
      return read_word(c);
  }
}
