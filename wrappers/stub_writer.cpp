// Writers of the C++ stub source. Each fprintf emits the lines of the
// generated file in order; read top to bottom, a writer reads like its output.
#include "stub_writer.h"

#include <stdio.h>
#include <string.h>

#include <string>

#include "generated_files.h"
#include "mangled_list.h"

const char* container_begin(Prototype* p) {
  CONTAINER_TYPE ct = p->GetContainerType();
  if (ct == CONTAINER_NONE && p->GetRefCount() >= 1) return "ResultRange<";
  if (ct == CONTAINER_RANGE) return "ResultRange<";
  if (ct == CONTAINER_VECTOR) return "vector<";
  if (ct == CONTAINER_MATRIX) return "Matrix<";
  return "";
}

const char* container_end(Prototype* p) {
  return (p->GetContainerType() != CONTAINER_NONE || p->GetRefCount() >= 1) ? ">" : "";
}

int count_outbound(Llist<Prototype*>* params) {
  int n = 0;
  for (; params != NULL; params = params->next) {
    if (params->data->IsOutBound()) n++;
  }
  return n;
}

// A pointer parameter or result without container: carried by a ResultRange.
static bool is_range_like(Prototype* p) {
  return p->GetRefCount() > 0 && p->GetContainerType() == CONTAINER_NONE;
}

// Carried by a ResultRange and reached through arg_N_range_ptr: pointer
// parameters and RANGE<...> parameters. A RANGE<T> parameter reaches the user
// function as a Range<T>*, and travels back through the same pointer.
static bool is_range_held(Prototype* p) {
  return is_range_like(p) || p->GetContainerType() == CONTAINER_RANGE;
}

// The text of s inside a C string literal of the generated source.
static std::string c_literal(const char* s) {
  std::string out;
  for (; *s; s++) {
    if (*s == '"' || *s == '\\') out += '\\';
    out += *s;
  }
  return out;
}

void write_cpp_banner(FILE* out) {
  fprintf(out, "/*\n");
  fprintf(out, "* %s\n", GENERATED_BANNER_LINE);
  fprintf(out, "* Please do not change this code. Any change will result in unexpected program behaviour.\n");
  fprintf(out, "*/\n");
  fprintf(out, "\n");
}

void write_cpp_include(FILE* out) { fprintf(out, "#include \"wrapper_support.hxx\"\n\n"); }

// ---------------------------------------------------------------- records

int ExternDefinition::Write_new_class_externs(FILE* out) {
  fprintf(out, "class %s;\n", name);
  return 1;
}

// A record member travels as a one-level container when it has a container
// (its dimensions inside the brackets do not add pointer levels), and through
// a range holder when it is a pointer. A pointer member is declared with one
// "*" whatever its dimensions, matching what the holder's GetValue() gives.
static const char* member_star(Prototype* m) {
  return is_range_like(m) ? "*" : "";
}

static void write_member_declaration(FILE* out, Prototype* m) {
  switch (m->GetContainerType()) {
    case CONTAINER_VECTOR:
    case CONTAINER_RANGE:
      fprintf(out, "\tvector<%s> %s;\n", m->GetType(), m->GetTag());
      break;
    case CONTAINER_MATRIX:
      fprintf(out, "\tMatrix<%s> %s;\n", m->GetType(), m->GetTag());
      break;
    default:
      fprintf(out, "\t%s %s%s;\n", m->GetType(), member_star(m), m->GetTag());
  }
}

static void write_status_return(FILE* out) {
  fprintf(out, "\t\tif (_qvtx_status)\n");
  fprintf(out, "\t\t\treturn 1;\n");
  fprintf(out, "\t\telse\n");
  fprintf(out, "\t\t\treturn 0;\n");
  fprintf(out, "\t}\n");
}

static void write_record_receive(FILE* out, Llist<Prototype*>* members) {
  fprintf(out, "\tint receive_and_unpack (DataExchange *de) {\n");
  fprintf(out, "\t\tint _qvtx_status = 1;\n");
  for (Llist<Prototype*>* n = members; n != NULL; n = n->next) {
    Prototype* m = n->data;
    fprintf(out, "\t\tif (_qvtx_status)\n");
    if (is_range_like(m)) {
      fprintf(out, "\t\t\t _qvtx_status = ::receive_and_unpack (de, range_%s, %d);\n", m->GetTag(),
              m->GetRefCount());
      fprintf(out, "\t\t%s = range_%s.GetValue ();\n", m->GetTag(), m->GetTag());
    } else {
      fprintf(out, "\t\t_qvtx_status = ::receive_and_unpack (de, %s);\n", m->GetTag());
    }
  }
  write_status_return(out);
}

static void write_record_send(FILE* out, Llist<Prototype*>* members) {
  fprintf(out, "\tint pack_and_send (DataExchange *de) const {\n");
  fprintf(out, "\t\tint _qvtx_status = 1;\n");
  for (Llist<Prototype*>* n = members; n != NULL; n = n->next) {
    Prototype* m = n->data;
    if (is_range_like(m)) {
      fprintf(out, "\t\trange_%s.SetValue (%s);\n", m->GetTag(), m->GetTag());
      fprintf(out, "\t\tRange<%s> *p_range_%s = &range_%s;\n", m->GetType(), m->GetTag(),
              m->GetTag());
      fprintf(out, "\t\tif (_qvtx_status)\n");
      fprintf(out, "\t\t\t_qvtx_status =  ::pack_and_send (de, p_range_%s, %d);\n", m->GetTag(),
              m->GetRefCount());
    } else {
      fprintf(out, "\t\tif (_qvtx_status)\n");
      fprintf(out, "\t\t\t_qvtx_status = ::pack_and_send (de, %s);\n", m->GetTag());
    }
  }
  write_status_return(out);
}

int ExternDefinition::Write_new_class_definition(FILE* out) {
  fprintf(out, "class %s {\n", name);
  fprintf(out, "public :\n");
  for (Llist<Prototype*>* n = prototype; n != NULL; n = n->next) write_member_declaration(out, n->data);
  // The holders are set while the record is sent, from a const member function.
  for (Llist<Prototype*>* n = prototype; n != NULL; n = n->next) {
    Prototype* m = n->data;
    if (is_range_like(m)) {
      fprintf(out, "\tmutable ResultRange<%s, %d> range_%s;\n", m->GetType(), m->GetRefCount(),
              m->GetTag());
    }
  }
  fprintf(out, "\n");
  write_record_receive(out, prototype);
  write_record_send(out, prototype);
  fprintf(out, "};\n\n");
  fprintf(out,
          "int pack_and_send (DataExchange *de, const %s &result, int dimension = 0) { return "
          "result.pack_and_send (de); } \n",
          name);
  fprintf(out,
          "int receive_and_unpack (DataExchange *de, %s &result, int dimension = 0) { return "
          "result.receive_and_unpack (de); } \n",
          name);
  fprintf(out, "\n");
  return 1;
}

// ---------------------------------------------------------------- stubs

// A live thread delivers over connections of its own when it has outbound
// arguments or streams ranges; otherwise over the client's stream connection.
static bool streams_on_own_connections(Prototype* channel, int out_count) {
  return out_count >= 1 || !channel->IsBDT();
}

// The class through which a live thread streams: every Send also sends the
// current values of the outbound arguments.
static void write_channel_class(FILE* out, const char* name, Prototype* channel,
                                Llist<Prototype*>* params, int out_count) {
  fprintf(out, "template<class T>\nclass EC_%s : public ExcelChannel<T> {\n", name);
  fprintf(out, "\tDataExchange *de;\n");
  int k = 0;
  for (Llist<Prototype*>* n = params; n != NULL; n = n->next) {
    Prototype* p = n->data;
    if (!p->IsOutBound()) continue;
    fprintf(out, "\t%s%s%s  *arg_%d;\n", container_begin(p), p->GetType(), container_end(p), k++);
  }
  fprintf(out, "public :\n");
  fprintf(out, "\tEC_%s (DataExchange *_de ", name);
  k = 0;
  for (Llist<Prototype*>* n = params; n != NULL; n = n->next) {
    Prototype* p = n->data;
    if (!p->IsOutBound()) continue;
    fprintf(out, ", %s%s%s  &par_%d", container_begin(p), p->GetType(), container_end(p), k++);
  }
  fprintf(out, ") {\n");
  fprintf(out, "\t\tde = _de;\n");
  for (int i = 0; i < k; i++) fprintf(out, "\t\targ_%d = &par_%d;\n", i, i);
  fprintf(out, "\t}\n");

  bool own_connection = streams_on_own_connections(channel, out_count);
  fprintf(out, "\tint Send (T &return_value) {\n");
  if (own_connection) {
    fprintf(out, "\t\tif (de->make_connection (1) == 0) {\n");
    fprintf(out, "\t\t\tde->close_connection ();\n");
    fprintf(out, "\t\t\treturn 0;\n");
    fprintf(out, "\t\t}\n");
  }
  k = 0;
  for (Llist<Prototype*>* n = params; n != NULL; n = n->next) {
    Prototype* p = n->data;
    if (!p->IsOutBound()) continue;
    if (is_range_held(p)) {
      fprintf(out, "\t\tRange<%s> *arg_%d_range_ptr = arg_%d;\n", p->GetType(), k, k);
      fprintf(out, " \tpack_and_send (de, arg_%d_range_ptr, %d);\n", k, p->GetRefCount());
    } else {
      fprintf(out, " \tpack_and_send (de, *arg_%d);\n", k);
    }
    k++;
  }
  fprintf(out, "\t\tpack_and_send (de, return_value);\n");
  // 0 once a value could not be delivered; the stream then ends at its next
  // safe point.
  fprintf(out, "\t\treturn de->end_delivery ();\n");
  fprintf(out, "\t}\n");
  fprintf(out, "};\n");
}

// One parameter's type in the function-pointer type.
static void write_parameter_type(FILE* out, Prototype* p) {
  CONTAINER_TYPE ct = p->GetContainerType();
  const char* open = ct == CONTAINER_VECTOR   ? "vector<"
                     : ct == CONTAINER_MATRIX ? "Matrix<"
                     : ct == CONTAINER_RANGE  ? "Range<"
                                              : "";
  const char* close = ct != CONTAINER_NONE ? ">" : "";
  const char* star = is_range_held(p) ? "*" : "";
  // A RANGE parameter is handed over as a pointer to the stub's range, which
  // also carries it back; a reference to that pointer would add nothing.
  bool by_ref = p->IsPassByRef() && ct != CONTAINER_RANGE;
  fprintf(out, "%s%s%s%s %s%s", p->IsConstant() ? "const " : "", open, p->GetType(), close, star,
          by_ref ? "&" : "");
}

// A void function leaves no value: the stub sends 0 rather than whatever
// the call left in the result register.
static bool returns_nothing(Prototype* r) { return r->IsVoid() && r->GetRefCount() == 0; }

static void write_function_type(FILE* out, const char* name, Prototype* r,
                                Llist<Prototype*>* all, ExecutionType kind) {
  bool live = kind == EXECUTE_AS_LIVE_THREAD;
  const char* k = r->IsConstant() ? "const" : "";
  if (r->GetRefCount() > 0 && !live) {
    fprintf(out, "typedef ResultRange<%s %s, %d> *(*%s_type)(", k, r->GetType(), r->GetRefCount(),
            name);
  } else if (returns_nothing(r)) {
    fprintf(out, "typedef void (*%s_type) ( ", name);
  } else {
    fprintf(out, "typedef %s %s (*%s_type) ( ", k, r->GetType(), name);
  }
  Llist<Prototype*>* rest = all;
  if (live) {
    if (all != NULL) {
      Prototype* c = all->data;
      if (c->GetRefCount() < 1)
        fprintf(out, "ExcelChannel<%s> * ", c->GetType());
      else
        fprintf(out, "ExcelChannel<Range<%s> *> * ", c->GetType());
      if (all->next != NULL) fprintf(out, ", ");
      rest = all->next;
    }
  }
  for (Llist<Prototype*>* n = rest; n != NULL; n = n->next) {
    write_parameter_type(out, n->data);
    if (n->next != NULL) fprintf(out, ", ");
  }
  fprintf(out, ");\n");
}

static void write_receive_arguments(FILE* out, Llist<Prototype*>* params) {
  int i = 0;
  for (Llist<Prototype*>* n = params; n != NULL; n = n->next, i++) {
    Prototype* p = n->data;
    fprintf(out, "\t%s%s%s arg_%d; receive_and_unpack (de, arg_%d, %d);\n", container_begin(p),
            p->GetType(), container_end(p), i, i, p->GetRefCount());
    if (is_range_held(p)) fprintf(out, "\tRange<%s> *arg_%d_range_ptr = &arg_%d;\n", p->GetType(), i, i);
  }
}

static void write_channel_object(FILE* out, const char* name, Prototype* c,
                                 Llist<Prototype*>* params) {
  if (c->GetRefCount() < 1)
    fprintf(out, "\tEC_%s<%s> excel_channel (de ", name, c->GetType());
  else
    fprintf(out, "\tEC_%s<Range<%s> *> excel_channel (de ", name, c->GetType());
  int i = 0;
  for (Llist<Prototype*>* n = params; n != NULL; n = n->next, i++) {
    if (n->data->IsOutBound()) fprintf(out, ", arg_%d", i);
  }
  fprintf(out, ");\n");
}

static void write_dlopen(FILE* out, const char* name, MangledInfo* f) {
  fprintf(out,
          "\tif (de->GetDataServiceType() == SOCKET_SERVICE ||  de->GetDataServiceType() == "
          "PVM_SLAVE_SERVICE) {\n");
  fprintf(out, "\t\tchar *error;\n");
  fprintf(out, "\t\tvoid *handle = dlopen ( \"%s\", RTLD_NOW);\n", c_literal(f->GetFile()).c_str());
  fprintf(out, "\t\tif (!handle) {\n");
  fprintf(out, "\t\t\tfputs(dlerror(), stderr );\n");
  fprintf(out, "\t\t\treturn 0; \n");
  fprintf(out, "\t\t}\n");
  fprintf(out, "\t\t%s_type function = (%s_type) dlsym (handle,\"%s\");\n", name, name,
          c_literal(f->GetMangledFunction()).c_str());
  fprintf(out, "             \n");
  fprintf(out, "\t\tif (function == NULL) {\n");
  fprintf(out, "\t\t\terror = dlerror();\n");
  fprintf(out, "\t\t\tif (error != NULL)\n");
  fprintf(out, "\t\t\t\tfputs(error, stderr);\n");
  fprintf(out, "\t\t\telse\n");
  fprintf(out, "\t\t\t\tfputs(\"Unable to get dlsym error (function: %s)\\n\", stderr);\n", name);
  fprintf(out, "\t\t\treturn 0;\n");
  fprintf(out, "\t\t}\n");
}

static void write_call(FILE* out, Prototype* r, Llist<Prototype*>* params, ExecutionType kind) {
  bool live = kind == EXECUTE_AS_LIVE_THREAD;
  const char* k = r->IsConstant() ? "const" : "";
  const char* assign = returns_nothing(r) ? "" : "ret = ";
  if (live) {
    fprintf(out, "\t\t%sfunction (&excel_channel", assign);
    if (params != NULL) fprintf(out, ", ");
  } else if (r->GetRefCount() > 0) {
    fprintf(out, "\t\tResultRange<%s %s, %d> *temp = function (", k, r->GetType(), r->GetRefCount());
  } else {
    fprintf(out, "\t\t%sfunction (", assign);
  }
  int i = 0;
  for (Llist<Prototype*>* n = params; n != NULL; n = n->next, i++) {
    Prototype* p = n->data;
    if (is_range_like(p))
      fprintf(out, "arg_%d_range_ptr->GetValue()", i);
    else if (is_range_held(p))
      fprintf(out, "arg_%d_range_ptr", i);
    else
      fprintf(out, "arg_%d", i);
    if (n->next != NULL) fprintf(out, ", ");
  }
  fprintf(out, ");\n");
  if (returns_nothing(r)) fprintf(out, "\t\tret = 0;\n");
  if (!live && (is_range_like(r) || r->GetContainerType() == CONTAINER_RANGE))
    fprintf(out, "\t\tret = temp;\n");
  fprintf(out, "\t}\n");
}

// Outbound arguments in declaration order, then the result.
static void write_send_results(FILE* out, Prototype* r, Llist<Prototype*>* params) {
  int i = 0;
  for (Llist<Prototype*>* n = params; n != NULL; n = n->next, i++) {
    Prototype* p = n->data;
    if (!p->IsOutBound()) continue;
    if (is_range_held(p))
      fprintf(out, "\tpack_and_send (de, arg_%d_range_ptr, %d);\n", i, p->GetRefCount());
    else
      fprintf(out, "\tpack_and_send (de, arg_%d, %d);\n", i, p->GetRefCount());
  }
  if (r->GetRefCount() >= 1) {
    fprintf(out, "\tpack_and_send (de, ret, %d);\n", r->GetRefCount());
    fprintf(out, "\tdelete ret;\n");
  } else {
    fprintf(out, "\tpack_and_send (de, ret);\n");
  }
}

int ExternDefinition::Write_new_tarrow_stub(FILE* out, ExecutionType kind) {
  MangledInfo* f = mangled_list.find(name);
  if (f == NULL) {
    fprintf(stderr,
            "function (%s) is NOT available in the shared library... please take a look at it.\n",
            name);
    return 0;
  }
  bool live = kind == EXECUTE_AS_LIVE_THREAD;
  bool thread = kind == EXECUTE_AS_THREAD;
  if (live && prototype == NULL) {
    // Without its channel the stub could not be completed, and one broken
    // stub would keep the whole file's stub library from compiling.
    fprintf(stderr, "invalid live_thread argument :-(\n");
    fprintf(stderr, "Invalid live thread specification...\n");
    return 0;
  }
  int out_count = count_outbound(prototype);
  Prototype* r = return_type;
  Prototype* c = live && prototype != NULL ? prototype->data : NULL;
  Llist<Prototype*>* params = live && prototype != NULL ? prototype->next : prototype;

  if (live) write_channel_class(out, name, c, params, out_count);
  write_function_type(out, name, r, prototype, kind);
  fprintf(out, "\nextern \"C\" {\n");
  fprintf(out, "\tint %s (DataExchange *);\n", name);
  fprintf(out, "}\n\n");
  fprintf(out, "int %s(DataExchange *de) {\n", name);
  fprintf(out, "\tif (de->GetDataServiceType() == PVM_PROXY_SERVICE) {\n");
  fprintf(out, "\t\tde->PvmCallStart (\"%s\");\n", name);
  fprintf(out, "\t}\n");
  write_receive_arguments(out, params);
  if (live) write_channel_object(out, name, c, params);
  fprintf(out, "\tde->done_with_arguments ();\n\n");

  if (live || thread) {
    fprintf(out, "\tde->break_connection (%d);\n\n", (int)kind);
    if (live && !streams_on_own_connections(c, out_count)) {
      fprintf(out, "\tif (de->SetScalarStream () <= 0) {\n");
      fprintf(out, "\t\treturn 0;\n");
      fprintf(out, "\t}\n");
    }
    if (thread && r->IsBDT() && out_count == 0) {
      fprintf(out, "\tif (de->SetScalarThread () <= 0) {\n");
      fprintf(out, "\t\treturn 0;\n");
      fprintf(out, "\t}\n");
    }
  }

  const char* k = r->IsConstant() ? "const" : "";
  if (live)
    fprintf(out, "\tint ret;\n");
  else if (is_range_like(r) || r->GetContainerType() == CONTAINER_RANGE)
    // Null until the local call assigns it: a proxy never calls, yet deletes.
    fprintf(out, "\tRange<%s %s> * ret = NULL;\n", k, r->GetType());
  else
    fprintf(out, " %s ret;\n", r->GetType());

  write_dlopen(out, name, f);
  write_call(out, r, params, kind);

  if (kind == EXECUTE_AS_FUNCTION) {
    write_send_results(out, r, params);
    fprintf(out, "\tde->done_with_result ();\n");
  } else if (thread && r->IsBDT() && out_count == 0) {
    fprintf(out, "\tpack_and_send (de, ret);\n");
    fprintf(out, "\treturn 1;\n");
    fprintf(out, "}\n\n");
    return 1;
  } else if (thread) {
    fprintf(out, "\tint connection_status = de->make_connection (1);\n");
    fprintf(out, "\tif (connection_status == 0) \n");
    fprintf(out, "\t\tpthread_cancel (pthread_self());\n");
    write_send_results(out, r, params);
    fprintf(out, "\tde->done_with_result ();\n");
  } else if (streams_on_own_connections(c, out_count)) {
    // The end connection, as every delivery came on a connection of its own.
    fprintf(out, "\tint connection_status = de->make_connection (-1);\n");
    fprintf(out, "\tif (connection_status == 0) \n");
    fprintf(out, "\t\tpthread_cancel ( pthread_self() );\n");
    fprintf(out, "\tde->done_with_result ();\n");
  } else {
    fprintf(out, "\tde->EndScalarStream();\n");
  }
  fprintf(out, "\treturn 1;\n");
  fprintf(out, "}\n\n");
  return 1;
}
