// ExternDefinition: one declared function, thread, live thread or record type.
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include "externals.h"

ExternDefinition::ExternDefinition()
    : return_type(nullptr), prototype(nullptr), arg_count(0), source_line(0) {
  name[0] = '\0';
}

namespace {

void mark_if_udt(Prototype* p, Llist<ExternDefinition*>* types) {
  if (p == nullptr) return;
  for (Llist<ExternDefinition*>* t = types; t != nullptr; t = t->next) {
    if (strcmp(p->type, t->data->name) == 0) {
      p->SetUDT();
      return;
    }
  }
}

}  // namespace

void ExternDefinition::check_and_set_udt(Llist<ExternDefinition*>* types) {
  for (Llist<Prototype*>* p = prototype; p != nullptr; p = p->next) mark_if_udt(p->data, types);
  mark_if_udt(return_type, types);
}

char* ExternDefinition::SetFunctionName(char* n) {
  snprintf(name, sizeof(name), "%s", n);
  return name;
}

void ExternDefinition::SetReturnType(Prototype* p) { return_type = p; }
void ExternDefinition::SetPrototype(Llist<Prototype*>* l) { prototype = l; }
int ExternDefinition::NameMatch(const char* n) { return strcmp(name, n) == 0; }
char* ExternDefinition::FunctionName() { return name; }

int ExternDefinition::Debug() {
  if (return_type != nullptr) return_type->Debug();
  printf(" %s (", name);
  for (Llist<Prototype*>* p = prototype; p != nullptr; p = p->next) {
    p->data->Debug();
    if (p->next != nullptr) printf(", ");
  }
  printf(" )\n");
  return 1;
}

int ExternDefinition::DoesReturnArray() {
  return return_type != nullptr && return_type->ref_count >= 1;
}

int ExternDefinition::ValidateTags() {
  int i = 1;
  for (Llist<Prototype*>* p = prototype; p != nullptr; p = p->next, i++) {
    char renamed[PROTO_TAG_SIZE];
    int n;
    if (p->data->tag[0] == '\0') {
      n = snprintf(renamed, sizeof(renamed), "arg_%d", i);
    } else {
      bool repeated = false;
      for (Llist<Prototype*>* q = prototype; q != p; q = q->next) {
        if (strcasecmp(q->data->tag, p->data->tag) == 0) {
          repeated = true;
          break;
        }
      }
      if (!repeated) continue;
      n = snprintf(renamed, sizeof(renamed), "%s_%d", p->data->tag, i);
    }
    if (n < 0 || n >= (int)sizeof(renamed)) return 0;
    p->data->SetTag(renamed);
  }
  return 1;
}
