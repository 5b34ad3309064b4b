// The scanner and grammar of definition files, shared by the server-side
// reader (py_parse) and the wrapper-side reader (wp_parse). Each reader
// installs its own handler for a completed definition; everything else,
// tokens, grammar, the collection of a definition's text and the messages
// of the format, is common. Not reentrant: all state is global.
#ifndef VELMOR_DEFINITIONS_DEFINITION_SCANNER_H_
#define VELMOR_DEFINITIONS_DEFINITION_SCANNER_H_

#include <stdio.h>

enum { STATEMENT_SIZE = 1024 };

// The open definition file the scanner reads.
extern FILE* py_in;
// Position for messages; the caller sets both to 1 before a file.
extern int line_count;
extern int column_count;
// Text of the definition being collected: its words joined by one blank.
extern char statement[STATEMENT_SIZE];
// Token code of the keyword of the section being read (0 at the top level).
extern int state;
// Line on which the definition being collected began (for messages).
extern int statement_line;

// Next token code, 0 at the end of the input.
int py_lex();
// Reads tokens until the end of the input (0) or the first syntax error (1),
// giving each completed definition to the installed handler.
int py_parse();
// "syntax error at line: %d, position: %d %s\n" on stderr.
void py_error(const char* msg);

// Syntax errors met (file level and rejected declarations) since the last
// reset; the readers skip what they cannot read, and a reload must know that
// they did. Single-threaded, like the readers.
extern int definition_errors;

// Called at each ";" that ends a definition, with the section's token code
// and the definition's text (statement has already been emptied). The
// server-side handler unless wp_parse is running.
typedef void (*DefinitionHandler)(int section, char* text);
extern DefinitionHandler definition_handler;

// Starts reading a new file: discards whatever the previous file left in
// the scanner, empties statement and returns to the top level.
void definition_begin_file(FILE* in);
// The calling pattern of both readers: parse again and again, resuming
// after each syntax error, until the file's end has been read.
void definition_read_all(int (*parse)());

// Grammar action at a ";": hands statement to the handler and empties it.
void end_definition();

// Appends one word to statement (after a blank unless it is the first);
// a definition longer than 1023 characters ends the program (status 1).
void statement_add_word(const char* word);

// Copies text without blanks and tabs at both ends into out (size bytes).
void trim(const char* text, char* out, size_t size);

#endif
