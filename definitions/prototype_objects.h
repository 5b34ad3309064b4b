// Helpers of the prototype grammar's actions: they complete, or release,
// the objects of one declaration.
#ifndef VELMOR_DEFINITIONS_PROTOTYPE_OBJECTS_H_
#define VELMOR_DEFINITIONS_PROTOTYPE_OBJECTS_H_

#include "externals.h"

// A new Prototype of the base type; resets the per-parameter counters.
Prototype* start_type(const char* type);

// Gives p its dimensions, pass-by-reference flag, tag and container; frees
// name. An overlong name is a syntax error: p is deleted and 0 returned.
int finish_parameter(Prototype* p, int by_reference, char* name, CONTAINER_TYPE container);

// Builds the declaration; frees name. On a name or tag that does not fit:
// syntax error, everything released, null returned.
ExternDefinition* finish_declaration(char* name, Prototype* result, Llist<Prototype*>* params);

// Release what a rejected declaration had built.
void free_prototype_list(Llist<Prototype*>* list);
void free_declaration(ExternDefinition* d);

#endif
