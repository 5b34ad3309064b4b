/* Grammar of macros: a named term, optionally called with arguments that
 * are themselves macros. */
%define api.prefix {md_}
%define api.token.prefix {MD_}

%code requires {
#include "expression.h"
}

%{
#include "parsers.h"

// The stack starts at 200 entries and may grow to 10000; the value type is
// plain pointers, so the stack can be moved when it grows.
#define YYINITDEPTH 200
#define YYMAXDEPTH 10000
#define MD_STYPE_IS_TRIVIAL 1
#define YY_(message) df_parser_message(message)
%}

%union {
  Expression* node;
  ExpressionList* list;
}

%token <node> WORD 410

%type <node> call name arg
%type <list> args

%destructor { delete $$; } <node>
%destructor { DeleteExpressionList($$); } <list>

%%

macro
  : call                      { root = $1; }
  ;

call
  : name '(' args ')'         { SetFlag($1, EXPRESSION_PARENTHESISED); $$ = CompleteExpression($1, $3); }
  | name                      { $$ = $1; }
  ;

args
  : arg                       { $$ = AppendParameters($1, nullptr); }
  | arg ',' args              { $$ = AppendParameters($1, $3); }
  ;

arg
  : call                      { $$ = $1; }
  | %empty                    { $$ = CreateExpression("", 0); }
  ;

name
  : WORD                      { $$ = $1; }
  ;
