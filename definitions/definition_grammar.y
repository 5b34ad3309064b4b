/* Grammar of definition files: sections of definitions ended by ";". */
%{
#include <stdio.h>
#include <stdlib.h>

#include "definition_scanner.h"
%}

%define api.prefix {py_}

%union {
  char* word;
}

%token FORMULA GENERATOR LIBRARY MODULE FUNCTION THREAD LIVE_THREAD TYPE
%token LS_BEGIN LS_END GAP SEMI
%token <word> WORD

%destructor { free($$); } <word>

/* Every run starts at the top level, with no half-collected definition. */
%initial-action { statement[0] = '\0'; state = 0; }

%%

all
  : %empty
  | all formulae
  | all generators
  | all modules
  | all libraries
  | all types
  | all functions
  | all threads
  | all live_threads
  | all GAP
  ;

gap
  : GAP
  | gap GAP
  ;

words
  : WORD { statement_add_word($1); free($1); }
  | words gap WORD { statement_add_word($3); free($3); }
  ;

opt_gap
  : gap
  | %empty
  ;

generators
  : GENERATOR opt_gap LS_BEGIN { state = GENERATOR; } defs opt_gap LS_END
  ;

formulae
  : FORMULA opt_gap LS_BEGIN { state = FORMULA; } defs opt_gap LS_END
  ;

libraries
  : LIBRARY opt_gap LS_BEGIN { state = LIBRARY; } defs opt_gap LS_END
  ;

modules
  : MODULE opt_gap LS_BEGIN { state = MODULE; } defs opt_gap LS_END
  ;

types
  : TYPE opt_gap LS_BEGIN { state = TYPE; } defs opt_gap LS_END
  ;

functions
  : FUNCTION opt_gap LS_BEGIN { state = FUNCTION; } defs opt_gap LS_END
  ;

threads
  : THREAD opt_gap LS_BEGIN { state = THREAD; } defs opt_gap LS_END
  ;

live_threads
  : LIVE_THREAD opt_gap LS_BEGIN { state = LIVE_THREAD; } defs opt_gap LS_END
  ;

defs
  : %empty
  | defs opt_gap words opt_gap SEMI { end_definition(); }
  ;

%%
