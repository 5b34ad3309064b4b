// Entry points of the formula grammar (prefix dd_) and the macro grammar
// (prefix md_).  Each parse leaves its tree in `root`; input buffers, token
// text and `root` are process-wide, so one parse runs at a time.
#ifndef VELMOR_DF_ANALYSIS_PARSERS_H_
#define VELMOR_DF_ANALYSIS_PARSERS_H_

#include "expression.h"

const int kParseBufferSize = 1024;  // input text plus NUL
const int kTokenSize = 56;          // token text plus NUL

// Token codes shared by both scanners (single characters are their own code).
enum {
  TOKEN_WORD = 410,
  TOKEN_GE = 420,
  TOKEN_LE = 430,
  TOKEN_NE = 440,
  // An over-long input or token: no rule accepts it, so the parse fails.
  TOKEN_REJECTED = 499,
};

extern char currentToken[kTokenSize];
extern Expression* root;

// Tree of a worksheet formula or macro, or null when it does not parse (the
// parser's message and a "PARSE ERROR" line have been written).
Expression* StringToExpression(const char* text);
Expression* StringToMacroExpression(const char* text);

// Return 1, or 0 when the text does not fit the 1023-character buffer (the
// next parse then fails).
int dd_set_string(const char* text);
int md_set_string(const char* text);
int dd_lex(void);
int md_lex(void);
int dd_parse(void);
int md_parse(void);
void dd_error(const char* message);
void md_error(const char* message);

// Shared by both scanners: copies the token text into currentToken, dropping
// the backslash of each escape and closing an unterminated quoted literal.
// Returns TOKEN_WORD, or TOKEN_REJECTED when the result has more than 55
// characters.
int df_take_word(const char* raw, int length);
// The parser's own message texts.
const char* df_parser_message(const char* message);

#endif
