// Release of the objects of a rejected declaration.
#include "prototype_objects.h"

void free_prototype_list(Llist<Prototype*>* list) {
  while (list != nullptr) {
    Llist<Prototype*>* rest = list->next;
    delete list->data;
    delete list;
    list = rest;
  }
}

void free_declaration(ExternDefinition* d) {
  if (d == nullptr) return;
  delete d->return_type;
  free_prototype_list(d->prototype);
  delete d;
}
