#include "parsers.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

char currentToken[kTokenSize];
Expression* root = nullptr;

int df_take_word(const char* raw, int length) {
  char text[kParseBufferSize + 2];
  int used = 0;
  char quote = (raw[0] == '"' || raw[0] == '\'') ? raw[0] : 0;
  int i = 0;
  int closed = 0;
  if (quote) text[used++] = raw[i++];
  while (i < length && used < kParseBufferSize) {
    char c = raw[i++];
    if (c == '\\') {
      if (i < length) text[used++] = raw[i++];
      continue;
    }
    text[used++] = c;
    if (quote && c == quote) {
      closed = 1;
      break;
    }
  }
  if (quote && !closed) text[used++] = quote;
  text[used] = '\0';
  int kept = used < kTokenSize ? used : kTokenSize - 1;
  memcpy(currentToken, text, kept);
  currentToken[kept] = '\0';
  return used < kTokenSize ? TOKEN_WORD : TOKEN_REJECTED;
}

const char* df_parser_message(const char* message) {
  if (strcmp(message, "syntax error") == 0) return "parse error";
  if (strcmp(message, "memory exhausted") == 0) return "parser stack overflow";
  return message;
}

void dd_error(const char* message) {
  fprintf(stderr, "# Error : %s near %s\n", message, currentToken);
}

void md_error(const char* message) {
  printf("# Error : %s near %s\n", message, currentToken);
}

Expression* StringToExpression(const char* text) {
  root = nullptr;
  if (text == nullptr) return nullptr;
  dd_set_string(text);
  if (dd_parse() != 0) {
    // The whole formula may have been reduced before the error was seen.
    delete root;
    root = nullptr;
    printf("PARSE ERROR in StringToExpression (%s)\n", text);
    return nullptr;
  }
  return root;
}

Expression* StringToMacroExpression(const char* text) {
  root = nullptr;
  if (text == nullptr) return nullptr;
  md_set_string(text);
  if (md_parse() != 0) {
    printf("PARSE ERROR in StringToMacroExpression (%s,%x)\n", text,
           static_cast<unsigned int>(reinterpret_cast<uintptr_t>(root)));
    delete root;
    root = nullptr;
    return nullptr;
  }
  return root;
}
