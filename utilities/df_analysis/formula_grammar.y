/* Grammar of worksheet formulae.  The binding order is this system's own:
 * comparisons bind more tightly than arithmetic, and a leading sign binds as
 * loosely as addition and subtraction. */
%define api.prefix {dd_}
%define api.token.prefix {DD_}

%code requires {
#include "expression.h"
}

%{
#include "parsers.h"

// The stack starts at 200 entries and may grow to 10000; the value type is
// plain pointers, so the stack can be moved when it grows.
#define YYINITDEPTH 200
#define YYMAXDEPTH 10000
#define DD_STYPE_IS_TRIVIAL 1
#define YY_(message) df_parser_message(message)

static Expression* binary(const char* op, Expression* left, Expression* right) {
  return CompleteExpression(CreateExpression(op, EXPRESSION_OPERATOR),
                            AppendParameters(left, AppendParameters(right, nullptr)));
}

static Expression* unary(const char* op, Expression* operand) {
  return binary(op, CreateExpression("", EXPRESSION_OPERATOR), operand);
}

static Expression* postfix(const char* op, Expression* operand) {
  return CompleteExpression(CreateExpression(op, EXPRESSION_OPERATOR), AppendParameters(operand, nullptr));
}
%}

%union {
  Expression* node;
  ExpressionList* list;
}

%token <node> WORD 410
%token GE 420 LE 430 NE 440

%type <node> expr name arg
%type <list> args

%destructor { delete $$; } <node>
%destructor { DeleteExpressionList($$); } <list>

/* Loosest first. */
%left '+' '-'
%precedence '%'
%left '*' '/'
%left '^'
%left '<' '>' '=' GE LE NE
%left ':' '&'
%precedence '!' '|' ']'

%%

formula
  : expr                      { root = $1; }
  ;

expr
  : name '(' args ')'         { SetFlag($1, EXPRESSION_PARENTHESISED); $$ = CompleteExpression($1, $3); }
  | '(' expr ')'              { SetFlag($2, EXPRESSION_PARENTHESISED); $$ = $2; }
  | expr '+' expr             { $$ = binary("+", $1, $3); }
  | expr '-' expr             { $$ = binary("-", $1, $3); }
  | expr '*' expr             { $$ = binary("*", $1, $3); }
  | expr '/' expr             { $$ = binary("/", $1, $3); }
  | expr '^' expr             { $$ = binary("^", $1, $3); }
  | expr '<' expr             { $$ = binary("<", $1, $3); }
  | expr '>' expr             { $$ = binary(">", $1, $3); }
  | expr '=' expr             { $$ = binary("=", $1, $3); }
  | expr GE expr              { $$ = binary(">=", $1, $3); }
  | expr LE expr              { $$ = binary("<=", $1, $3); }
  | expr NE expr              { $$ = binary("<>", $1, $3); }
  | expr ':' expr             { $$ = binary(":", $1, $3); }
  | expr '&' expr             { $$ = binary("&", $1, $3); }
  | '+' expr %prec '+'        { $$ = unary("+", $2); }
  | '-' expr %prec '-'        { $$ = unary("-", $2); }
  | expr '%'                  { $$ = postfix("%", $1); }
  | name                      { $$ = $1; }
  | name '|' expr             { $$ = binary("|", $1, $3); }
  | '[' name ']' expr         { $$ = binary("[]", $2, $4); }
  | name '!' expr             { $$ = binary("!", $1, $3); }
  ;

args
  : arg                       { $$ = AppendParameters($1, nullptr); }
  | arg ',' args              { $$ = AppendParameters($1, $3); }
  ;

arg
  : expr                      { $$ = $1; }
  | %empty                    { $$ = CreateExpression("", 0); }
  ;

name
  : WORD                      { $$ = $1; }
  ;
