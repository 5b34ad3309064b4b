// Prototype: one parameter, record member or result of a declaration.
#include <stdio.h>
#include <string.h>

#include "externals.h"

namespace {

// Copies src into a field of size bytes, cutting what does not fit; the
// parsers reject overlong names before they get here.
void copy_field(char* dst, size_t size, const char* src) {
  snprintf(dst, size, "%s", src);
}

}  // namespace

Prototype::Prototype(const char* t)
    : nested_types(nullptr), ref_count(0), arg_flags(0), container_type(CONTAINER_NONE) {
  copy_field(type, sizeof(type), t);
  tag[0] = '\0';
}

int Prototype::SetPrototype(char* t) {
  copy_field(type, sizeof(type), t);
  return 1;
}

int Prototype::SetTag(char* t) {
  copy_field(tag, sizeof(tag), t);
  return 1;
}

CONTAINER_TYPE Prototype::SetContainerType(CONTAINER_TYPE c) {
  container_type = c;
  return container_type;
}

int Prototype::SetRefCount(int n) {
  ref_count = n;
  if (strcmp(type, "char") == 0 && ref_count > 0) {
    copy_field(type, sizeof(type), "qvtx_string");
    ref_count--;
  }
  return ref_count;
}

int Prototype::GetRefCount() { return ref_count; }
char* Prototype::GetType() { return type; }
char* Prototype::GetTag() { return tag; }
CONTAINER_TYPE Prototype::GetContainerType() { return container_type; }

const char* Prototype::GetRefString() {
  switch (ref_count) {
    case 1: return "*";
    case 2: return "**";
    default: return "";
  }
}

int Prototype::Debug() {
  printf("%s %s", type, tag);
  for (int i = 0; i < ref_count; i++) printf("[]");
  return 1;
}

void Prototype::SetConstant(int on) {
  if (on) arg_flags |= ARG_CONSTANT;
  else arg_flags &= ~ARG_CONSTANT;
}

int Prototype::IsConstant() { return (arg_flags & ARG_CONSTANT) != 0; }
void Prototype::SetUDT() { arg_flags |= ARG_UDT; }
int Prototype::IsUDT() { return (arg_flags & ARG_UDT) != 0; }
void Prototype::SetVoid() { arg_flags |= ARG_VOID; }
int Prototype::IsVoid() { return (arg_flags & ARG_VOID) != 0; }
int Prototype::IsPassByRef() { return (arg_flags & ARG_BY_REFERENCE) != 0; }

void Prototype::SetPassBy(int on) {
  if (on) arg_flags |= ARG_BY_REFERENCE;
  else arg_flags &= ~ARG_BY_REFERENCE;
}

int Prototype::IsOutBound() {
  if (IsConstant()) return 0;
  return IsPassByRef() || ref_count > 0;
}

int Prototype::IsBDT() {
  return ref_count == 0 && container_type == CONTAINER_NONE && !IsUDT();
}
