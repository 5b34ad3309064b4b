// The declaration model: one ExternDefinition per declared function, thread,
// live thread or record type, one Prototype per parameter (or member) and one
// for the result, plus the plain records the definition readers produce.
//
// Objects are made by the parsers with new and are never freed. Lists are
// hand-made, singly linked and grow at the front.
#ifndef VELMOR_DEFINITIONS_EXTERNALS_H_
#define VELMOR_DEFINITIONS_EXTERNALS_H_

#include <stdio.h>

// How a parameter's values are grouped.
enum CONTAINER_TYPE {
  CONTAINER_NONE = 0,
  CONTAINER_RANGE = 1,
  CONTAINER_VECTOR = 2,
  CONTAINER_MATRIX = 3  // never produced by the prototype parser
};

// How a declared function runs; decided by the section it was declared in.
enum ExecutionType {
  EXECUTE_AS_FUNCTION = 0,
  EXECUTE_AS_THREAD = 1,
  EXECUTE_AS_LIVE_THREAD = 2
};

// One node of a singly linked list; the list is the pointer to its first
// node (empty = null). New nodes go in front: the caller keeps the new node.
template <class T>
class Llist {
 public:
  T data;
  Llist* next;

  Llist(T& d, Llist* n) : data(d), next(n) {}

  // Reverses the list in place; returns the new first node.
  static Llist* Reverse(Llist* head) {
    Llist* done = nullptr;
    while (head != nullptr) {
      Llist* rest = head->next;
      head->next = done;
      done = head;
      head = rest;
    }
    return done;
  }
};

class ExternDefinition;

// Field sizes; a text must leave room for its terminator.
enum {
  PROTO_TYPE_SIZE = 32,
  PROTO_TAG_SIZE = 64,
  DEFN_NAME_SIZE = 64,
  DEFN_LINE_SIZE = 1024,
  DEFN_BOOK_SIZE = 128
};

// Bits of Prototype::arg_flags.
enum {
  ARG_CONSTANT = 2,
  ARG_BY_REFERENCE = 4,
  ARG_UDT = 8,
  // Written as void: the stub must not pass on a value the function never set.
  ARG_VOID = 16
};

// One parameter, record member or result.
class Prototype {
 public:
  char type[PROTO_TYPE_SIZE];
  char tag[PROTO_TAG_SIZE];
  Llist<ExternDefinition*>* nested_types;  // never filled
  int ref_count;                           // dimensions
  int arg_flags;                           // ARG_* bits
  CONTAINER_TYPE container_type;

  explicit Prototype(const char* type);

  int SetPrototype(char* t);
  int SetTag(char* t);
  CONTAINER_TYPE SetContainerType(CONTAINER_TYPE c);
  // Stores n; a "char" with dimensions becomes "qvtx_string" with one less.
  int SetRefCount(int n);
  int GetRefCount();
  char* GetType();
  char* GetTag();
  CONTAINER_TYPE GetContainerType();
  const char* GetRefString();
  int Debug();
  const char* vba_type();  // defined with the VBA generator

  void SetConstant(int on);
  int IsConstant();
  void SetUDT();
  int IsUDT();
  void SetVoid();
  int IsVoid();
  int IsPassByRef();
  void SetPassBy(int on);
  // True when the value travels back to the caller after the call.
  int IsOutBound();
  // Basic data type: no dimensions, no container, not a record.
  int IsBDT();
};

// One declaration.
class ExternDefinition {
 public:
  char name[DEFN_NAME_SIZE];
  Prototype* return_type;
  Llist<Prototype*>* prototype;  // parameters in the order written
  int arg_count;                 // unused, always 0
  int source_line;               // line of the definition file it began on, 0 unknown

  ExternDefinition();

  // Sets the record bit of every parameter and of the result whose type
  // names one of the declarations in types.
  void check_and_set_udt(Llist<ExternDefinition*>* types);
  char* SetFunctionName(char* n);
  void SetReturnType(Prototype* p);
  void SetPrototype(Llist<Prototype*>* l);
  int NameMatch(const char* n);
  char* FunctionName();
  int Debug();
  int DoesReturnArray();
  // Gives every parameter a usable, unique tag. Returns 0 (and leaves the
  // tag alone) when a renamed tag would not fit its field, else 1.
  int ValidateTags();

  // Writers of the stub and VBA generators (defined in wrappers/).
  int Write_new_class_externs(FILE* out);
  int Write_new_class_definition(FILE* out);
  int Write_new_tarrow_stub(FILE* out, ExecutionType type);
  int Write_new_udt_array_type_defn(FILE* out);
  int Write_new_vba_type_functions(FILE* out);
  int Write_pri_excel_stub(FILE* out, char* module, ExecutionType type);
  int Write_pub_excel_stub(FILE* out, char* module, ExecutionType type);
};

// One FORMULAE or GENERATORS entry.
struct Formula {
  char* usageName;
  char* appName;
  long poll;  // always 0
  Formula* next;
};

// One MODULES entry.
struct Node {
  char* data;
  Node* next;
};

// One LIBRARIES entry, with the definition file that listed it.
struct Lib {
  char* file_at_work;
  char* libname;
  Lib* next;
};

// Kinds of DefnLine::type.
enum {
  DEFN_TYPE = 0,
  DEFN_FUNCTION = 1,
  DEFN_THREAD = 2,
  DEFN_LIVE_THREAD = 3
};

// One declaration's text as the wrapper-side reader saw it.
struct DefnLine {
  char line[DEFN_LINE_SIZE];
  char book[DEFN_BOOK_SIZE];
  int type;  // DEFN_* kind
};

#endif
