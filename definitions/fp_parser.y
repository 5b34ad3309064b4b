/* Grammar of one prototype: [result] NAME ( parameters ) [;] */
%{
#include <stdlib.h>
#include <string.h>

#include "prototype_parser.h"
#include "prototype_objects.h"

/* The stack holds 200 entries and never grows: deeper declarations are
   rejected with "memory exhausted". */
#define YYINITDEPTH 200
#define YYMAXDEPTH 200

ExternDefinition* extern_definition_root = nullptr;

/* Dimensions of the parameter or result being read. */
static int dimensions;
%}

%define api.prefix {fp_}

%code requires {
#include "externals.h"
}

%union {
  ExternDefinition* defn;
  char* name;
  Prototype* proto;
  Llist<Prototype*>* plist;
  int flag;
}

%token <name> LIT 410
/* INT and VOID share one code; the value says which (1 for void). */
%token <flag> TO_INT 411
%token TO_LONG 412 TO_FLOAT 413 TO_DOUBLE 414 TO_CHAR 415
%token RANGE 416 ARRAY 417 STAR 418 EXCEL_CHANNEL 419 CONST_FLAG 420
%token REFERENCE 421 VECTOR 422 TO_STRING 423
/* A "[" not directly followed by "]": no rule takes it. */
%token BAD_BRACKET 424

%token END_OF_TEXT 0
%type <defn> declaration
%type <name> opt_name
%type <proto> base_type type result parameter channel_parameter
%type <plist> param_list parameters plist
%type <flag> opt_ref suffixes

%destructor { free($$); } <name>
%destructor { delete $$; } <proto>
%destructor { free_prototype_list($$); } <plist>
%destructor { free_declaration($$); } <defn>

%%

/* Published only once the whole text has been read. */
text
  : declaration END_OF_TEXT { extern_definition_root = $1; }
  ;

/* The two markers clear what an earlier declaration left; each also takes
   one stack entry, so n plain parameters need 2n + 7 entries. */
declaration
  : begin_declaration LIT '(' begin_parameters param_list ')' opt_semi {
      $$ = finish_declaration($2, new Prototype("int"), $5);
      if ($$ == nullptr) YYABORT;
    }
  | begin_declaration result LIT '(' begin_parameters param_list ')' opt_semi {
      $$ = finish_declaration($3, $2, $6);
      if ($$ == nullptr) YYABORT;
    }
  ;

begin_declaration
  : %empty { extern_definition_root = nullptr; dimensions = 0; }
  ;

begin_parameters
  : %empty { dimensions = 0; }
  ;

opt_semi
  : %empty
  | ';'
  ;

result
  : RANGE '<' type suffixes '>' { $$ = $3; $$->SetRefCount(dimensions + 1); }
  | type suffixes { $$ = $1; $$->SetRefCount(dimensions); }
  ;

param_list
  : channel_parameter { $$ = new Llist<Prototype*>($1, nullptr); }
  | channel_parameter ',' parameters { $$ = new Llist<Prototype*>($1, $3); }
  | parameters
  ;

channel_parameter
  : EXCEL_CHANNEL '<' parameter '>' opt_name { $$ = $3; free($5); }
  ;

/* Right recursion keeps every parameter on the stack until the ")" and
   chains the list in the order written. */
parameters
  : %empty { $$ = nullptr; }
  | plist
  ;

plist
  : parameter { $$ = new Llist<Prototype*>($1, nullptr); }
  | parameter ',' { $$ = new Llist<Prototype*>($1, nullptr); }
  | parameter ',' plist { $$ = new Llist<Prototype*>($1, $3); }
  ;

parameter
  : type suffixes opt_name {
      if (!finish_parameter($1, $2, $3, CONTAINER_NONE)) YYABORT;
      $$ = $1;
    }
  | RANGE '<' type suffixes '>' opt_ref opt_name {
      if (!finish_parameter($3, $6, $7, CONTAINER_RANGE)) YYABORT;
      $$ = $3;
    }
  | CONST_FLAG RANGE '<' type suffixes '>' opt_ref opt_name {
      $4->SetConstant(1);
      if (!finish_parameter($4, $7, $8, CONTAINER_RANGE)) YYABORT;
      $$ = $4;
    }
  | VECTOR '<' type suffixes '>' opt_ref opt_name {
      if (!finish_parameter($3, $6, $7, CONTAINER_VECTOR)) YYABORT;
      $$ = $3;
    }
  | CONST_FLAG VECTOR '<' type suffixes '>' opt_ref opt_name {
      $4->SetConstant(1);
      if (!finish_parameter($4, $7, $8, CONTAINER_VECTOR)) YYABORT;
      $$ = $4;
    }
  ;

type
  : base_type
  | CONST_FLAG base_type { $$ = $2; $$->SetConstant(1); }
  ;

base_type
  : TO_INT { $$ = start_type("int"); if ($1) $$->SetVoid(); }
  | TO_LONG { $$ = start_type("long"); }
  | TO_FLOAT { $$ = start_type("float"); }
  | TO_DOUBLE { $$ = start_type("double"); }
  | TO_CHAR { $$ = start_type("char"); }
  | TO_STRING { $$ = start_type("string"); }
  | LIT {
      if (strlen($1) >= PROTO_TYPE_SIZE) {
        fp_error("syntax error");
        free($1);
        YYABORT;
      }
      $$ = start_type($1);
      $$->SetUDT();
      free($1);
    }
  ;

/* Each "*" or "[]" adds a dimension as soon as it is read. */
suffixes
  : dims opt_ref { $$ = $2; }
  ;

dims
  : %empty
  | STAR { dimensions++; } dims
  | ARRAY { dimensions++; } dims
  ;

opt_ref
  : %empty { $$ = 0; }
  | REFERENCE { $$ = 1; }
  ;

opt_name
  : %empty { $$ = nullptr; }
  | LIT
  ;

%%

Prototype* start_type(const char* type) {
  dimensions = 0;
  return new Prototype(type);
}

int finish_parameter(Prototype* p, int by_reference, char* name, CONTAINER_TYPE container) {
  if (name != nullptr && strlen(name) >= PROTO_TAG_SIZE) {
    fp_error("syntax error");
    delete p;
    free(name);
    return 0;
  }
  p->SetRefCount(dimensions);
  p->SetPassBy(by_reference);
  p->SetTag(name != nullptr ? name : (char*)"");
  p->SetContainerType(container);
  free(name);
  return 1;
}

ExternDefinition* finish_declaration(char* name, Prototype* result, Llist<Prototype*>* params) {
  ExternDefinition* d = new ExternDefinition();
  d->SetReturnType(result);
  d->SetPrototype(params);
  bool fits = strlen(name) < DEFN_NAME_SIZE;
  if (fits) d->SetFunctionName(name);
  free(name);
  if (!fits || !d->ValidateTags()) {
    fp_error("syntax error");
    free_declaration(d);
    return nullptr;
  }
  return d;
}

void fp_error(const char* msg) {
  fprintf(stderr, "#fp_error: %s near %s\n", msg, fp_Token);
}
