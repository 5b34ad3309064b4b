// Writers of the VBA module. Each fprintf emits the lines of the generated
// module in order.
#include "vba_writer.h"

#include <string.h>

#include "externals.h"
#include "generated_files.h"
#include "stub_writer.h"

const char* Prototype::vba_type() {
  if (strcmp(type, "int") == 0) return "Integer";
  if (strcmp(type, "long") == 0) return "Long";
  if (strcmp(type, "float") == 0) return "Single";
  if (strcmp(type, "double") == 0) return "Double";
  if (strcmp(type, "qvtx_string") == 0 || strcmp(type, "string") == 0) return "String";
  return "Variant";
}

static bool is_array_like(Prototype* p) {
  return p->GetRefCount() >= 1 || p->GetContainerType() != CONTAINER_NONE;
}

static const char* array_marker(Prototype* p) { return is_array_like(p) ? "()" : ""; }

// The VBA type of a member or parameter: the record's own Type, or the basic one.
static const char* declared_type(Prototype* p) { return p->IsUDT() ? p->GetType() : p->vba_type(); }

// Dimension count the add-in is told when it unpacks a basic value.
static int dims(Prototype* p) {
  switch (p->GetContainerType()) {
    case CONTAINER_VECTOR: return p->GetRefCount() + 1;
    case CONTAINER_MATRIX: return p->GetRefCount() + 2;
    case CONTAINER_RANGE: return 0;
    default: return p->GetRefCount();
  }
}

// Dimension count the add-in is told when it sends an array-like basic value.
static int send_dims(Prototype* p) {
  return p->GetContainerType() != CONTAINER_NONE ? 1 : p->GetRefCount();
}

// Functions that return an array of records: one header per VBA version.
static bool is_twin_header(Prototype* r, ExecutionType kind) {
  return kind == EXECUTE_AS_FUNCTION && r->IsUDT() && is_array_like(r);
}

// ---------------------------------------------------------------- frame

void write_vba_banner(FILE* out) {
  fprintf(out, "'\n");
  fprintf(out, "' %s\n", GENERATED_BANNER_LINE);
  fprintf(out, "' Please do not change this code. Any change will result in unexpected program behaviour.\n");
  fprintf(out, "'\n");
  fprintf(out, "\n");
}

void write_vba_last_updated_time(FILE* out, const char* time_stamp) {
  fprintf(out, "Private Const last_updated_time  as string = \"%s\"\n", time_stamp);
}

void write_vba_ubound_function(FILE* out) {
  fprintf(out, "\nPrivate Function QVTX_UBound(Arr as Variant) as integer\n");
  fprintf(out, "\tif (Arr is Nothing) then\n");
  fprintf(out, "\t\tQVTX_UBound = 0\n");
  fprintf(out, "\telse\n");
  fprintf(out, "\t\tQVTX_UBound = UBound (Arr)\n");
  fprintf(out, "\tend if\n");
  fprintf(out, "End Function\n");
}

void write_vba_closing_functions(FILE* out, const char* module) {
  fprintf(out, "Function GetLastUpdatedTime_%s () as string\n", module);
  fprintf(out, "\tGetLastUpdatedTime_%s = last_updated_time\n", module);
  fprintf(out, "End Function\n");
  fprintf(out, "Function GetHost_%s () as string\n", module);
  fprintf(out, "\tGetHost_%s = Host\n", module);
  fprintf(out, "End Function\n");
  fprintf(out, "Function GetPort_%s () as integer\n", module);
  fprintf(out, "\tGetPort_%s = Port\n", module);
  fprintf(out, "End Function\n");
}

// ---------------------------------------------------------------- records

int ExternDefinition::Write_new_udt_array_type_defn(FILE* out) {
  fprintf(out, "\n");
  fprintf(out, "Type %s\n", name);
  for (Llist<Prototype*>* n = prototype; n != NULL; n = n->next) {
    Prototype* m = n->data;
    fprintf(out, "\t%s%s as %s\n", m->GetTag(), array_marker(m), declared_type(m));
  }
  fprintf(out, "End Type\n");
  fprintf(out, "Type %s_Array\n", name);
  fprintf(out, "\tValue() as %s\n", name);
  fprintf(out, "End Type\n");
  return 1;
}

static void write_record_send(FILE* out, const char* t, Llist<Prototype*>* members) {
  fprintf(out, "Private Function Pack_And_Send_%s (sd as long, obj as %s) as Integer\n", t, t);
  fprintf(out, "\tDim Ret as Integer\n");
  fprintf(out, "\tOn Error Goto Last\n");
  for (Llist<Prototype*>* n = members; n != NULL; n = n->next) {
    Prototype* m = n->data;
    if (!m->IsUDT()) {
      fprintf(out, "\tRet = Application.Run (\"Pelnor.xla!Pack_And_Send\", sd, obj.%s ", m->GetTag());
      if (is_array_like(m))
        fprintf(out, ", %d)\n", send_dims(m));
      else
        fprintf(out, ")\n");
    } else if (!is_array_like(m)) {
      fprintf(out, " Ret = Pack_And_Send_%s (sd, obj.%s)\n", m->GetType(), m->GetTag());
    } else {
      fprintf(out, " Ret = Pack_And_Send_%s_Array (sd, obj.%s)\n", m->GetType(), m->GetTag());
    }
    fprintf(out, "\tIf (Ret = 0) Then Goto Last\n");
  }
  fprintf(out, "\tPack_And_Send_%s = 1\n", t);
  fprintf(out, "\tExit Function\n");
  fprintf(out, "Last:\n");
  fprintf(out, "\tPack_And_Send_%s = 0\n", t);
  fprintf(out, "End Function\n");
}

static void write_record_receive(FILE* out, const char* t, Llist<Prototype*>* members) {
  int count = 0;
  for (Llist<Prototype*>* n = members; n != NULL; n = n->next) count++;
  fprintf(out, "Private Function Receive_And_Unpack_%s (sd as long) as Variant\n", t);
  fprintf(out, "\tDim Obj(%d) as variant\n", count - 1);
  fprintf(out, "\tDim RetArray() as Variant\n");
  fprintf(out, "\tDim RCnt as Integer\n");
  fprintf(out, "\tDim rcnt1 as Integer\n");
  fprintf(out, "\tOn Error Goto Last\n");
  int i = 0;
  for (Llist<Prototype*>* n = members; n != NULL; n = n->next, i++) {
    Prototype* m = n->data;
    if (!m->IsUDT() && !is_array_like(m)) {
      fprintf(out, "\tObj(%d) = Application.Run(\"Pelnor.xla!Receive_And_Unpack\",sd)\n", i);
    } else if (!m->IsUDT()) {
      fprintf(out, "\tRCnt = Application.Run(\"Pelnor.xla!Receive_and_unpack\", sd)\n");
      fprintf(out, "\tReDim RetArray (0 to RCnt - 1)\n");
      fprintf(out, "\tif (RCnt = 0) then goto Last\n");
      fprintf(out, "\tFor rcnt1 = 0 to Rcnt - 1\n");
      fprintf(out, "\t\tRetArray(rcnt1) = Application.Run(\"Pelnor.xla!Receive_and_unpack\", sd)\n");
      fprintf(out, "\tNext rcnt1\n");
      fprintf(out, "\tObj(%d) = RetArray\n", i);
    } else if (!is_array_like(m)) {
      fprintf(out, "\tObj(%d) = Receive_And_UnPack_%s (sd)\n", i, m->GetType());
    } else {
      // A call statement with its arguments in parentheses does not compile,
      // and an element of Obj cannot stand for an array parameter: the
      // records come into the emptied RetArray, which then becomes the member.
      fprintf(out, "\tErase RetArray\n");
      fprintf(out, "\tCall Receive_And_UnPack_%s_Array (sd, RetArray)\n", m->GetType());
      fprintf(out, "\tObj(%d) = RetArray\n", i);
    }
  }
  fprintf(out, "\tReceive_And_UnPack_%s = obj\n", t);
  fprintf(out, "\tExit Function\n");
  fprintf(out, "Last:\n");
  fprintf(out, "\tReceive_And_UnPack_%s = obj\n", t);
  fprintf(out, "End Function\n");
}

// Sends the element count of the whole array (0 when it is not allocated)
// and then every element, whatever the array's lower bound. Returns the count
// plus one: its callers take 0 for a failure, and an empty array (get_db's
// outbound vector before the call) is sent successfully.
static void write_record_array_send(FILE* out, const char* t) {
  fprintf(out, "Private Function Pack_And_Send_%s_Array (sd as long, Arr() as %s) as Integer\n", t, t);
  fprintf(out, "\tDim Ret as Integer\n");
  fprintf(out, "\tDim Cnt as Integer\n");
  fprintf(out, "\tDim ArraySize as Integer\n");
  fprintf(out, " ArraySize = 0\n");
  fprintf(out, " On Error Resume Next\n");
  fprintf(out, " \tArraySize = UBound(Arr) - LBound(Arr) + 1\n");
  fprintf(out, "\n");
  fprintf(out, "\tOn Error Goto Last\n");
  fprintf(out, "\tRet = Application.Run(\"Pelnor.xla!Pack_And_Send\", sd, ArraySize)\n");
  fprintf(out, "\tIf (Ret = 0 ) then GoTo Last\n");
  fprintf(out, "\tFor Cnt = 0 to ArraySize - 1\n");
  fprintf(out, "\t\tRet = Pack_And_Send_%s(sd, Arr(LBound(Arr) + Cnt))\n", t);
  fprintf(out, "\t\tif (Ret = 0) then GoTo Last\n");
  fprintf(out, "\tNext Cnt\n");
  fprintf(out, "\tPack_And_Send_%s_Array = ArraySize + 1\n", t);
  fprintf(out, "\tExit Function\n");
  fprintf(out, "Last :\n");
  fprintf(out, "\tPack_And_Send_%s_Array = 0\n", t);
  fprintf(out, "End Function\n");
}

static void write_record_array_receive(FILE* out, const char* t) {
  fprintf(out, "Private Function Receive_And_Unpack_%s_Array ( sd as long, Byref Arr() as Variant) as Integer\n", t);
  fprintf(out, "\tDim Ret as Integer\n");
  fprintf(out, "\tDim Cnt as Integer\n");
  fprintf(out, "\tOn Error GoTo Last\n");
  fprintf(out, "\tRet = Application.Run (\"Pelnor.xla!Receive_And_Unpack\", sd )\n");
  fprintf(out, "\tIf ( Ret = 0 ) Then Goto Last\n");
  fprintf(out, "\tOn Error GoTo Allocate\n");
  fprintf(out, "\tCnt = UBound(arr)\n");
  fprintf(out, "\tGoTo DontAllocate\n");
  fprintf(out, "Allocate:\n");
  fprintf(out, "\tIf (Ret = -1 ) then\n");
  fprintf(out, "\t\tDim is_it_over as integer\n");
  fprintf(out, "\t\tis_it_over = 0\n");
  fprintf(out, "\t\tDo While (is_it_over <> -1 )\n");
  fprintf(out, "\t\t\tis_it_over = Application.Run(\"Pelnor.xla!Receive_And_Unpack\", sd )\n");
  fprintf(out, "\t\t\tif (is_it_over = -1) then\n");
  fprintf(out, "\t\t\t\texit do\n");
  fprintf(out, "\t\t\tElse\n");
  fprintf(out, "\t\t\t\tRedim Preserve Arr(0 to is_it_over)\n");
  fprintf(out, "\t\t\t\tArr(is_it_over) = Receive_And_Unpack_%s(sd)\n", t);
  fprintf(out, "\t\t\tEnd if\n");
  fprintf(out, "\t\tLoop\n");
  fprintf(out, "\t\tReceive_And_Unpack_%s_Array = Ubound(Arr)\n", t);
  fprintf(out, "\t\tExit Function\n");
  fprintf(out, "\tElse\n");
  fprintf(out, "\t\tReDim arr(Ret - 1)\n");
  fprintf(out, "\tEnd If\n");
  fprintf(out, "DontAllocate:\n");
  fprintf(out, "\tFor Cnt = 0 to Ubound(arr)\n");
  fprintf(out, "\t\tArr(Cnt) = Receive_And_Unpack_%s (sd)\n", t);
  fprintf(out, "\tNext Cnt\n");
  fprintf(out, "\tReceive_And_Unpack_%s_Array = Cnt\n", t);
  fprintf(out, "\tExit Function\n");
  fprintf(out, "Last:\n");
  fprintf(out, "\tReceive_And_Unpack_%s_Array = 0\n", t);
  fprintf(out, "End Function\n");
}

static void write_record_rebuild(FILE* out, const char* t, Llist<Prototype*>* members) {
  fprintf(out, "Function %s (cb_data as Variant) as %s\n", t, t);
  fprintf(out, "\tDim result as %s\n", t);
  fprintf(out, "\tDim input_arr() as Variant\n");
  fprintf(out, "\tDim counter as Integer\n");
  fprintf(out, " On Error GoTo Last\n");
  fprintf(out, "\tinput_arr = cb_data\n");
  int i = 0;
  for (Llist<Prototype*>* n = members; n != NULL; n = n->next, i++) {
    Prototype* m = n->data;
    const char* tag = m->GetTag();
    if (m->IsUDT() && is_array_like(m)) {
      fprintf(out, "\tresult.%s = %s_Array(input_arr(%d))\n", tag, m->GetType(), i);
    } else if (m->IsUDT()) {
      fprintf(out, "\tresult.%s = %s(input_arr(%d))\n", tag, m->GetType(), i);
    } else if (is_array_like(m)) {
      fprintf(out, "\tReDim result.%s(0 To UBound(input_arr(%d)))\n", tag, i);
      fprintf(out, "\tfor counter = 0 to UBound(result.%s)\n", tag);
      fprintf(out, "\t\tresult.%s(counter) = input_arr(%d)(counter)\n", tag, i);
      fprintf(out, "\tNext counter\n");
    } else {
      fprintf(out, "\tresult.%s = input_arr(%d)\n", tag, i);
    }
  }
  fprintf(out, "\t%s = result\n", t);
  fprintf(out, " Exit Function\n");
  fprintf(out, "Last  :\n");
  fprintf(out, "\t%s = result\n", t);
  fprintf(out, "End Function\n");
}

static void write_record_array_rebuild(FILE* out, const char* t) {
  fprintf(out, "Function %s_Array (cb_data as Variant) as %s()\n", t, t);
  fprintf(out, "\tDim unpack_params() as variant\n");
  fprintf(out, "\tDim result_array() as %s\n", t);
  fprintf(out, "\tDim counter as Integer\n");
  fprintf(out, "\tOn Error GoTo Last\n");
  fprintf(out, "\tunpack_params = cb_data\n");
  fprintf(out, "\tRedim result_array (0 to Ubound(unpack_params))\n");
  fprintf(out, "\tif (IsArray (cb_data)) then\n");
  fprintf(out, "\t\tFor counter = 0 To UBound(unpack_params)\n");
  fprintf(out, "\t\t\tresult_array(counter) = %s(unpack_params(counter))\n", t);
  fprintf(out, "\t\tNext counter\n");
  fprintf(out, "\tEnd If\n");
  fprintf(out, "\t%s_Array = result_array\n", t);
  fprintf(out, " Exit Function\n");
  fprintf(out, "Last :\n");
  fprintf(out, "\t%s_Array = Empty\n", t);
  fprintf(out, "End Function\n");
}

int ExternDefinition::Write_new_vba_type_functions(FILE* out) {
  write_record_send(out, name, prototype);
  write_record_receive(out, name, prototype);
  write_record_array_send(out, name);
  write_record_array_receive(out, name);
  write_record_rebuild(out, name, prototype);
  write_record_array_rebuild(out, name);
  return 1;
}

// ---------------------------------------------------------------- pri_NAME

// One received value into slot `slot` of rec_NAME's result array.
static void write_rec_value(FILE* out, Prototype* p, int slot) {
  if (p->IsUDT() && !is_array_like(p)) {
    fprintf(out, "\tresult(%d) = Receive_And_Unpack_%s(sd)\n", slot, p->GetType());
  } else if (p->IsUDT()) {
    fprintf(out, "\tDim result_%d() as variant\n", slot);
    fprintf(out, "\tstatus = Receive_And_Unpack_%s_Array(sd, result_%d)\n", p->GetType(), slot);
    fprintf(out, "\tresult(%d) = result_%d\n", slot, slot);
  } else {
    fprintf(out, "\tresult(%d) = Application.Run(\"Pelnor.xla!Receive_And_Unpack_bdt\", sd, \"%s\", %d)\n",
            slot, p->GetType(), dims(p));
  }
}

// rec_NAME: what the add-in runs when a thread's values arrive by call-back.
static void write_rec_function(FILE* out, const char* name, Prototype* v, Llist<Prototype*>* params,
                               int out_count) {
  fprintf(out, "Function rec_%s(sd as long) as variant\n", name);
  fprintf(out, "\tDim status as Integer\n");
  fprintf(out, "\tRedim result(0 To %d) as variant\n", 2 * out_count);
  fprintf(out, " On Error GoTo Last\n");
  fprintf(out, "\n");
  int k = 1;
  for (Llist<Prototype*>* n = params; n != NULL; n = n->next) {
    Prototype* p = n->data;
    if (!p->IsOutBound()) continue;
    fprintf(out, "\tresult(%d) = \"%s\"\n", 2 * k - 1, p->GetTag());
    write_rec_value(out, p, 2 * k);
    k++;
  }
  write_rec_value(out, v, 0);
  fprintf(out, "Last:\n");
  fprintf(out, "\trec_%s = result\n", name);
  fprintf(out, "End Function\n");
  fprintf(out, "\n");
}

static void write_pri_parameters(FILE* out, Llist<Prototype*>* params) {
  for (Llist<Prototype*>* n = params; n != NULL; n = n->next) {
    Prototype* p = n->data;
    fprintf(out, "%s%s%s as %s", p->IsPassByRef() ? "ByRef " : "", p->GetTag(), array_marker(p),
            declared_type(p));
    if (n->next != NULL) fprintf(out, ", ");
  }
}

static void write_pri_headers(FILE* out, const char* name, Prototype* r, Llist<Prototype*>* params,
                              ExecutionType kind) {
  bool twin = is_twin_header(r, kind);
  if (twin) fprintf(out, "#If VBA6 Then\n");
  fprintf(out, "Private Function pri_%s (", name);
  write_pri_parameters(out, params);
  if (kind == EXECUTE_AS_FUNCTION && r->IsUDT())
    fprintf(out, ") as %s%s\n", r->GetType(), array_marker(r));
  else
    fprintf(out, ") as Variant\n");
  if (!twin) return;
  fprintf(out, "#Else\n");
  fprintf(out, "Private Function pri_%s (", name);
  write_pri_parameters(out, params);
  fprintf(out, ") as %s%s\n", r->GetType(), "_Array");
  fprintf(out, "#End if\n");
}

static void write_pri_cache_check(FILE* out, const char* name) {
  fprintf(out, "\tDim Res as variant\n");
  fprintf(out, "\tres = Application.Run (\"Pelnor.xla!GetCacheResult\")\n");
  fprintf(out, "\tif (res <> \"\") Then\n");
  fprintf(out, "\t\tpri_%s = res\n", name);
  fprintf(out, "\t\tExit Function\n");
  fprintf(out, "\tEnd If\n");
}

static void write_pri_callback_check(FILE* out, const char* name) {
  fprintf(out, "\tCallerType = TypeName(Application.Caller)\n");
  fprintf(out, "\tIf (CallerType = \"Range\") Then \n");
  fprintf(out, "\t\tIf (Application.Run(\"Pelnor.xla!IsCacheReady\")) Then\n");
  fprintf(out, "\t\t\tSd = Application.Run (\"Pelnor.xla!GetCommSocket\")\n");
  fprintf(out, "\t\t\tIf (sd = 0) then Goto Last\n");
  fprintf(out, "\t\t\tpri_%s = Application.Run(\"Pelnor.xla!Receive_And_Unpack\", sd, 0)\n", name);
  fprintf(out, "\t\t\tApplication.Run \"Pelnor.xla!CloseConnection\",sd\n");
  fprintf(out, "\t\t\tExit Function\n");
  fprintf(out, "\t\tEnd If\n");
  fprintf(out, "\tEnd if\n");
}

static void write_pri_send_arguments(FILE* out, Llist<Prototype*>* params) {
  for (Llist<Prototype*>* n = params; n != NULL; n = n->next) {
    Prototype* p = n->data;
    if (p->IsUDT() && !is_array_like(p)) {
      fprintf(out, "\tRet = Pack_And_Send_%s ( sd, %s )\n", p->GetType(), p->GetTag());
    } else if (p->IsUDT()) {
      fprintf(out, "\tRet = Pack_And_Send_%s_Array ( sd, %s )\n", p->GetType(), p->GetTag());
    } else {
      fprintf(out, "\tRet = Application.Run(\"Pelnor.xla!Pack_And_Send\", sd, %s", p->GetTag());
      if (is_array_like(p))
        fprintf(out, ", %d)\n", send_dims(p));
      else
        fprintf(out, ")\n");
    }
    fprintf(out, "\tif (Ret = 0 ) then Goto last\n");
  }
  fprintf(out, "\tRet = Application.Run (\"Pelnor.xla!DoneWithArguments\",sd)\n");
  fprintf(out, "\tif (Ret = 0 ) then Goto last\n");
}

static void write_pri_thread_reply(FILE* out, const char* name, Prototype* v, bool scalar) {
  if (scalar)
    fprintf(out, "\tUnpackRoutine = \"%s\"\n", v->GetType());
  else
    fprintf(out, "\tUnpackRoutine = \"'\" + ThisWorkbook.Name + \"'!rec_%s\"\n", name);
  fprintf(out, "\tServerResult = Application.Run(\"Pelnor.xla!Receive_And_UnPack\",sd)\n");
  fprintf(out, "\tSresUp = ServerResult + \"|\" + host + \"|\" + trim(conversion.cstr(port)) +  \"|\" + UnpackRoutine \n");
  fprintf(out, "\tIf (CallerType = \"Range\") Then\n");
  fprintf(out, "\t\tApplication.Run \"Pelnor.xla!CacheSet\", ServerResult, Host, Port\n");
  fprintf(out, "\t\tpri_%s = ServerResult\n", name);
  fprintf(out, "\tElse\n");
  fprintf(out, "\t\tpri_%s = SresUp\n", name);
  fprintf(out, "\tEnd If\n");
}

static void write_pri_receive_outbound(FILE* out, Prototype* p) {
  const char* tag = p->GetTag();
  if (p->IsBDT()) {
    fprintf(out, "\t%s = Application.Run (\"Pelnor.xla!Receive_And_Unpack\",sd)\n", tag);
  } else if (p->IsUDT() && !is_array_like(p)) {
    fprintf(out, "\tudtVariant = Receive_and_unpack_%s (sd)\n", p->GetType());
    fprintf(out, "\t%s = %s (udtVariant)\n", tag, p->GetType());
  } else if (p->IsUDT()) {
    fprintf(out, "\tRCnt = Receive_and_unpack_%s_Array (sd, udtVariantArray)\n", p->GetType());
    fprintf(out, "\tif (RCnt = 0) then goto Last\n");
    fprintf(out, " Redim %s(RCnt-1)\n", tag);
    fprintf(out, "\tFor rcnt1 = 0 to Rcnt - 1\n");
    fprintf(out, "\t\t%s(rcnt1) = %s (udtVariantArray(rcnt1))\n", tag, p->GetType());
    fprintf(out, "\tNext rcnt1\n");
  } else {
    fprintf(out, "\tRCnt = Application.Run (\"Pelnor.xla!Receive_And_UnPack\",sd)\n");
    fprintf(out, "\tif (RCnt = 0) then goto Last\n");
    fprintf(out, " Redim %s(Rcnt-1)\n", tag);
    fprintf(out, "\tFor rcnt1 = 0 to Rcnt - 1\n");
    fprintf(out, "\t\t\t%s(rcnt1) = Application.Run (\"Pelnor.xla!Receive_And_Unpack\",sd)\n", tag);
    fprintf(out, "\tNext rcnt1\n");
  }
}

static void write_pri_function_reply(FILE* out, const char* name, Prototype* r,
                                     Llist<Prototype*>* params) {
  fprintf(out, "\tDim RCnt as integer\n");
  fprintf(out, "\tDim rcnt1 as integer\n");
  fprintf(out, "\tDim ArgType as string\n");
  fprintf(out, "\tDim udtVariant as Variant\n");
  fprintf(out, "\tDim udtVariantArray() as Variant\n");
  for (Llist<Prototype*>* n = params; n != NULL; n = n->next) {
    if (n->data->IsOutBound()) write_pri_receive_outbound(out, n->data);
  }
  if (r->IsBDT()) {
    fprintf(out, "\tpri_%s = Application.Run(\"Pelnor.xla!Receive_And_Unpack_bdt\", sd, \"%s\", 0 )\n",
            name, r->GetType());
  } else if (r->IsUDT() && !is_array_like(r)) {
    fprintf(out, "\tpri_%s = %s(Receive_And_UnPack_%s(sd))\n", name, r->GetType(), r->GetType());
  } else if (r->IsUDT()) {
    fprintf(out, "\tDim %s_result() as Variant\n", name);
    fprintf(out, "\tRet = Receive_And_UnPack_%s_Array(sd, %s_result)\n", r->GetType(), name);
    fprintf(out, "\tpri_%s = %s_Array(%s_result)\n", name, r->GetType(), name);
  } else {
    fprintf(out, "\tpri_%s = Application.Run(\"Pelnor.xla!Receive_And_Unpack_bdt\", sd, \"%s\", 1)\n",
            name, r->GetType());
  }
}

static void write_pri_exits(FILE* out, const char* name, Prototype* r) {
  fprintf(out, "\tApplication.Run \"Pelnor.xla!CloseConnection\", sd\n");
  fprintf(out, "\tExit Function\n");
  fprintf(out, "InCon:\n");
  fprintf(out, "\tApplication.Run \"Pelnor.xla!CloseConnection\",sd\n");
  if (!r->IsUDT()) fprintf(out, "\tpri_%s = \"#OUT_OF_DATE\"\n", name);
  fprintf(out, "\tExit Function\n");
  fprintf(out, "Last:\n");
  fprintf(out, "\tApplication.Run \"Pelnor.xla!CloseConnection\", sd\n");
  if (!r->IsUDT()) fprintf(out, "\tpri_%s = \"#LIB_ERROR\"\n", name);
  fprintf(out, "End Function\n");
}

int ExternDefinition::Write_pri_excel_stub(FILE* out, char* module, ExecutionType kind) {
  bool live = kind == EXECUTE_AS_LIVE_THREAD;
  bool threaded = kind != EXECUTE_AS_FUNCTION;
  Prototype* r = return_type;
  // A live thread's values are those of its channel; one without any
  // parameter has no channel and is treated by its declared result.
  Prototype* v = live && prototype != NULL ? prototype->data : r;
  Llist<Prototype*>* params = live && prototype != NULL ? prototype->next : prototype;
  int out_count = count_outbound(prototype);
  bool scalar = v->IsBDT() && out_count == 0;

  if (threaded && !scalar) write_rec_function(out, name, v, params, out_count);
  write_pri_headers(out, name, r, params, kind);
  if (threaded && v->IsBDT()) write_pri_cache_check(out, name);
  fprintf(out, "\tDim Ret\t\tas Integer\n");
  fprintf(out, "\tDim sd\t\tas long\n");
  if (threaded) {
    fprintf(out, "\tDim UnpackRoutine\tas String\n");
    fprintf(out, "\tDim ServerResult\tas String\n");
    fprintf(out, "\tDim CallerType\t\tas String\n");
    fprintf(out, "\tDim SresUp\t\t\tas string\n");
  }
  fprintf(out, "\tOn Error Goto Last\n");
  if (threaded && scalar) write_pri_callback_check(out, name);
  fprintf(out, "\tsd = Application.Run(\"Pelnor.xla!OpenConnection\", host, port)\n");
  fprintf(out, "\tif (sd = 0) then Goto last\n");
  fprintf(out, "\tRet = Application.Run(\"Pelnor.xla!Function_start\",sd,\"%s\",\"%s\",last_updated_time)\n",
          module, name);
  fprintf(out, "\tif (Ret = 2) then Goto InCon\n");
  fprintf(out, "\tif (Ret = 0) then Goto last\n");
  write_pri_send_arguments(out, params);
  if (threaded)
    write_pri_thread_reply(out, name, v, scalar);
  else
    write_pri_function_reply(out, name, r, params);
  write_pri_exits(out, name, r);
  return 1;
}

// ---------------------------------------------------------------- NAME

static void write_pub_parameters(FILE* out, Llist<Prototype*>* params) {
  for (Llist<Prototype*>* n = params; n != NULL; n = n->next) {
    Prototype* p = n->data;
    const char* by_ref = p->IsOutBound() ? "ByRef " : "";
    if (p->IsUDT())
      fprintf(out, "%s%s%s as %s", by_ref, p->GetTag(), array_marker(p), p->GetType());
    else
      fprintf(out, "%s%s as variant", by_ref, p->GetTag());
    if (n->next != NULL) fprintf(out, ", ");
  }
}

static void write_pub_headers(FILE* out, const char* name, Prototype* r, Llist<Prototype*>* params,
                              ExecutionType kind) {
  bool twin = is_twin_header(r, kind);
  if (twin) fprintf(out, "#If VBA6 Then\n");
  fprintf(out, "Function %s (", name);
  write_pub_parameters(out, params);
  if (twin)
    fprintf(out, ") As %s%s\n", r->GetType(), "()");
  else if (kind == EXECUTE_AS_FUNCTION && r->IsUDT())
    fprintf(out, ") As %s\n", r->GetType());
  else if (r->IsUDT())
    fprintf(out, ") As Variant\n");
  else
    fprintf(out, ") as Variant\n");
  if (!twin) return;
  fprintf(out, "#Else\n");
  fprintf(out, "Function %s (", name);
  write_pub_parameters(out, params);
  fprintf(out, ") as %s%s\n", r->GetType(), "_Array");
  fprintf(out, "#End if\n");
}

static void write_pub_argument_copy(FILE* out, Prototype* p) {
  const char* tag = p->GetTag();
  if (!p->IsUDT()) {
    fprintf(out, "\t\tif (TypeName (%s) = \"Range\" ) Then\n", tag);
    if (!is_array_like(p)) {
      fprintf(out, "\t\t\tl_%s = %s.value\n", tag, tag);
    } else {
      fprintf(out, "\t\t\tRedim l_%s (0 to %s.count - 1)\n", tag, tag);
      fprintf(out, "\t\t\tfor qvtx_counter = 0 to %s.count - 1\n", tag);
      fprintf(out, "\t\t\t\tl_%s(qvtx_counter) = %s(qvtx_counter+1).value\n", tag, tag);
      fprintf(out, "\t\t\tNext qvtx_counter\n");
    }
    fprintf(out, "\t\telse\n");
  }
  fprintf(out, "\t\t\tl_%s = %s\n", tag, tag);
  if (!p->IsUDT()) fprintf(out, "\t\tend if\n");
}

// Cells that hold a formula are never overwritten.
static void write_pub_copy_back(FILE* out, Prototype* p) {
  const char* tag = p->GetTag();
  if (p->IsUDT() && !is_array_like(p)) {
    fprintf(out, "\t\t%s = l_%s\n", tag, tag);
  } else if (p->IsUDT()) {
    fprintf(out, "\t\tRedim %s(UBound(l_%s))\n", tag, tag);
    fprintf(out, "\t\tfor qvtx_counter = 0 to UBound(%s)\n", tag);
    fprintf(out, "\t\t\t%s(qvtx_counter) = l_%s(qvtx_counter)\n", tag, tag);
    fprintf(out, "\t\tNext qvtx_counter\n");
  } else if (!is_array_like(p)) {
    fprintf(out, "\t\tif (TypeName (%s) <> \"Range\" ) Then\n", tag);
    fprintf(out, "\t\t\t%s = l_%s\n", tag, tag);
    fprintf(out, "\t\telse\n");
    fprintf(out, "\t\t\tIf (Not %s.hasformula) then\n", tag);
    fprintf(out, "\t\t\t\t%s.value = l_%s\n", tag, tag);
    fprintf(out, "\t\t\tend if\n");
    fprintf(out, "\t\tend if\n");
  } else {
    fprintf(out, "\t\tif (TypeName (%s) <> \"Range\" ) Then\n", tag);
    fprintf(out, "\t\t\tRedim %s(Ubound(l_%s))\n", tag, tag);
    fprintf(out, "\t\t\tfor qvtx_counter = 0 to Ubound(l_%s)\n", tag);
    fprintf(out, "\t\t\t\t%s(qvtx_counter) = l_%s(qvtx_counter)\n", tag, tag);
    fprintf(out, "\t\t\tNext qvtx_counter\n");
    fprintf(out, "\t\telse\n");
    fprintf(out, "\t\t\tfor qvtx_counter = 0 to Ubound(l_%s)\n", tag);
    fprintf(out, "\t\t\t\tIf (Not %s(qvtx_counter+1).hasformula) then\n", tag);
    fprintf(out, "\t\t\t\t\t%s(qvtx_counter+1).value = l_%s(qvtx_counter)\n", tag, tag);
    fprintf(out, "\t\t\t\tend if\n");
    fprintf(out, "\t\t\tNext qvtx_counter\n");
    fprintf(out, "\t\tend if\n");
  }
}

int ExternDefinition::Write_pub_excel_stub(FILE* out, char* module, ExecutionType kind) {
  (void)module;
  bool live = kind == EXECUTE_AS_LIVE_THREAD;
  Prototype* r = return_type;
  Prototype* c = live && prototype != NULL ? prototype->data : NULL;
  Llist<Prototype*>* params = live && prototype != NULL ? prototype->next : prototype;
  int out_count = count_outbound(prototype);

  write_pub_headers(out, name, r, params, kind);
  fprintf(out, "\tDim qvtx_counter as Integer\n");
  for (Llist<Prototype*>* n = prototype; n != NULL; n = n->next) {
    Prototype* p = n->data;
    fprintf(out, "\tDim l_%s%s as %s\n", p->GetTag(), array_marker(p), declared_type(p));
  }
  // Such declarations can be called from VBA code but not from a cell.
  if (out_count >= 1 || (c != NULL && !c->IsBDT()) ||
      (kind == EXECUTE_AS_THREAD && !r->IsBDT())) {
    fprintf(out, "\tif (TypeName(Application.Caller) = \"Range\") then\n");
    fprintf(out, "\t\t%s = \"#Invalid (formula has pass-by-references)\"\n", name);
    fprintf(out, "\t\tExit Function\n");
    fprintf(out, "\tend if\n");
  }
  for (Llist<Prototype*>* n = params; n != NULL; n = n->next) write_pub_argument_copy(out, n->data);
  fprintf(out, "\t%s = pri_%s (", name, name);
  for (Llist<Prototype*>* n = params; n != NULL; n = n->next) {
    fprintf(out, "l_%s ", n->data->GetTag());
    if (n->next != NULL) fprintf(out, ", ");
  }
  fprintf(out, ")\n");
  if (kind == EXECUTE_AS_FUNCTION) {
    fprintf(out, "\tIf (TypeName (Application.Caller) <> \"Range\") Then\n");
    for (Llist<Prototype*>* n = params; n != NULL; n = n->next) {
      if (n->data->IsOutBound()) write_pub_copy_back(out, n->data);
    }
    fprintf(out, "\tEnd If\n");
  }
  fprintf(out, "End Function\n");
  return 1;
}
