// The prototype parser: turns one declaration's text (a C-like prototype)
// into an ExternDefinition. Not reentrant: all its state is global.
#ifndef VELMOR_DEFINITIONS_PROTOTYPE_PARSER_H_
#define VELMOR_DEFINITIONS_PROTOTYPE_PARSER_H_

#include "externals.h"

enum { FP_TEXT_SIZE = 1024 };

// Copies text (at most 1023 characters) into the scanner's buffer and starts
// reading at its first character. A longer text ends the program (status 1).
void fp_set_string(char* text);

// 0 on success (result in extern_definition_root), 1 after a syntax error,
// 2 when the parser's 200-entry stack is full.
int fp_parse();

// Next token code, 0 at the end of the text.
int fp_lex();

// "#fp_error: %s near %s\n" with msg and fp_Token, on stderr.
void fp_error(const char* msg);

// Text of the most recent word or quoted token, for messages.
extern char fp_Token[FP_TEXT_SIZE];

extern ExternDefinition* extern_definition_root;

#endif
