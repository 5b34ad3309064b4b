// Generated C++ and VBA text for a small set of declarations, against the
// expected text line by line.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "mangled_list.h"
#include "stub_writer.h"
#include "test_support.h"
#include "vba_writer.h"

namespace {

// Lines of VBA that call a procedure as a statement with several arguments
// in parentheses ("Expected: =" in the VBA editor).
std::vector<std::string> parenthesised_call_statements(const std::string& text) {
  static const std::regex call("^\\s*([A-Za-z_][A-Za-z0-9_]*)\\s*\\(.*,.*\\)\\s*$");
  std::vector<std::string> bad;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    if (!std::regex_match(line, m, call)) continue;
    std::string word = m[1];
    for (char& c : word) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (word == "if" || word == "call" || word == "redim" || word == "dim" || word == "function" ||
        word == "private" || line.find('=') != std::string::npos)
      continue;
    bad.push_back(line);
  }
  return bad;
}

// Every function named here is "in the library" /lib/libu.so as _Z<name>.
const char* kMapped[] = {"f", "area", "count_up", "ticker", "rev", "jump", "lookup", "take_range",
                         "fill", "hold"};

class WriterTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    TempDir dir;
    std::string map;
    for (const char* name : kMapped) map += std::string("/lib/libu.so~_Z") + name + "~" + name + "(int)~\n";
    write_file(dir.file("map.info"), map);
    mangled_list.load((char*)dir.file("map.info").c_str());
    employee = parse_declaration("Employee (string name, double * scores, int age)");
    types = new Llist<ExternDefinition*>(employee, NULL);
    employee->check_and_set_udt(types);
  }

  // What a writer puts into a file, as text.
  template <class Write>
  static std::string text_of(Write write) {
    char* data = NULL;
    size_t size = 0;
    FILE* out = open_memstream(&data, &size);
    write(out);
    fclose(out);
    std::string text(data, size);
    free(data);
    return text;
  }

  static ExternDefinition* declare(const char* text) {
    ExternDefinition* d = parse_declaration(text);
    if (d != NULL) d->check_and_set_udt(types);
    return d;
  }

  static std::string stub(const char* text, ExecutionType kind) {
    ExternDefinition* d = declare(text);
    EXPECT_NE(d, nullptr) << text;
    return d ? text_of([&](FILE* out) { d->Write_new_tarrow_stub(out, kind); }) : "";
  }

  static std::string vba(const char* text, ExecutionType kind) {
    ExternDefinition* d = declare(text);
    EXPECT_NE(d, nullptr) << text;
    return d ? text_of([&](FILE* out) {
      d->Write_pri_excel_stub(out, (char*)"payroll", kind);
      d->Write_pub_excel_stub(out, (char*)"payroll", kind);
    })
             : "";
  }

  static ExternDefinition* employee;
  static Llist<ExternDefinition*>* types;
};

ExternDefinition* WriterTest::employee = NULL;
Llist<ExternDefinition*>* WriterTest::types = NULL;

std::string lines(std::initializer_list<const char*> list) {
  std::string text;
  for (const char* line : list) text += std::string(line) + "\n";
  return text;
}

// The dlopen/dlsym block every stub holds, for function NAME.
std::string load_block(const std::string& name) {
  return "\tif (de->GetDataServiceType() == SOCKET_SERVICE ||  de->GetDataServiceType() == PVM_SLAVE_SERVICE) {\n"
         "\t\tchar *error;\n"
         "\t\tvoid *handle = dlopen ( \"/lib/libu.so\", RTLD_NOW);\n"
         "\t\tif (!handle) {\n"
         "\t\t\tfputs(dlerror(), stderr );\n"
         "\t\t\treturn 0; \n"
         "\t\t}\n"
         "\t\t" + name + "_type function = (" + name + "_type) dlsym (handle,\"_Z" + name + "\");\n"
         "             \n"
         "\t\tif (function == NULL) {\n"
         "\t\t\terror = dlerror();\n"
         "\t\t\tif (error != NULL)\n"
         "\t\t\t\tfputs(error, stderr);\n"
         "\t\t\telse\n"
         "\t\t\t\tfputs(\"Unable to get dlsym error (function: " + name + ")\\n\", stderr);\n"
         "\t\t\treturn 0;\n"
         "\t\t}\n";
}

std::string stub_head(const std::string& name) {
  return "\nextern \"C\" {\n\tint " + name + " (DataExchange *);\n}\n\nint " + name +
         "(DataExchange *de) {\n\tif (de->GetDataServiceType() == PVM_PROXY_SERVICE) {\n"
         "\t\tde->PvmCallStart (\"" + name + "\");\n\t}\n";
}

TEST_F(WriterTest, RecordClassSendsMembersInOrderThroughRangeHolders) {
  std::string text = text_of([](FILE* out) {
    employee->Write_new_class_externs(out);
    employee->Write_new_class_definition(out);
  });
  EXPECT_EQ(text, lines({
      "class Employee;",
      "class Employee {",
      "public :",
      "\tstring name;",
      "\tdouble *scores;",
      "\tint age;",
      "\tmutable ResultRange<double, 1> range_scores;",
      "",
      "\tint receive_and_unpack (DataExchange *de) {",
      "\t\tint _qvtx_status = 1;",
      "\t\tif (_qvtx_status)",
      "\t\t_qvtx_status = ::receive_and_unpack (de, name);",
      "\t\tif (_qvtx_status)",
      "\t\t\t _qvtx_status = ::receive_and_unpack (de, range_scores, 1);",
      "\t\tscores = range_scores.GetValue ();",
      "\t\tif (_qvtx_status)",
      "\t\t_qvtx_status = ::receive_and_unpack (de, age);",
      "\t\tif (_qvtx_status)",
      "\t\t\treturn 1;",
      "\t\telse",
      "\t\t\treturn 0;",
      "\t}",
      "\tint pack_and_send (DataExchange *de) const {",
      "\t\tint _qvtx_status = 1;",
      "\t\tif (_qvtx_status)",
      "\t\t\t_qvtx_status = ::pack_and_send (de, name);",
      "\t\trange_scores.SetValue (scores);",
      "\t\tRange<double> *p_range_scores = &range_scores;",
      "\t\tif (_qvtx_status)",
      "\t\t\t_qvtx_status =  ::pack_and_send (de, p_range_scores, 1);",
      "\t\tif (_qvtx_status)",
      "\t\t\t_qvtx_status = ::pack_and_send (de, age);",
      "\t\tif (_qvtx_status)",
      "\t\t\treturn 1;",
      "\t\telse",
      "\t\t\treturn 0;",
      "\t}",
      "};",
      "",
      "int pack_and_send (DataExchange *de, const Employee &result, int dimension = 0) { return result.pack_and_send (de); } ",
      "int receive_and_unpack (DataExchange *de, Employee &result, int dimension = 0) { return result.receive_and_unpack (de); } ",
      ""}));
}

TEST_F(WriterTest, RecordMembersWithContainersTravelAsVectors) {
  ExternDefinition* r = declare("Bag (VECTOR<double *> xs, RANGE<int> ys, double ** m)");
  ASSERT_NE(r, nullptr);
  std::string text = text_of([&](FILE* out) { r->Write_new_class_definition(out); });
  EXPECT_NE(text.find("\tvector<double> xs;\n\tvector<int> ys;\n\tdouble *m;\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\tmutable ResultRange<double, 2> range_m;\n\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("range_xs"), std::string::npos) << text;
  EXPECT_EQ(text.find("range_ys"), std::string::npos) << text;
}

TEST_F(WriterTest, FunctionStubWithPointerResultAndRangeParameter) {
  EXPECT_EQ(stub("RANGE<double> rev (const double * values, int & count, double * out)", EXECUTE_AS_FUNCTION),
            "typedef ResultRange< double, 1> *(*rev_type)(const double *, int &, double *);\n" +
                stub_head("rev") +
                lines({"\tResultRange<double> arg_0; receive_and_unpack (de, arg_0, 1);",
                       "\tRange<double> *arg_0_range_ptr = &arg_0;",
                       "\tint arg_1; receive_and_unpack (de, arg_1, 0);",
                       "\tResultRange<double> arg_2; receive_and_unpack (de, arg_2, 1);",
                       "\tRange<double> *arg_2_range_ptr = &arg_2;",
                       "\tde->done_with_arguments ();",
                       "",
                       "\tRange< double> * ret = NULL;"}) +
                load_block("rev") +
                lines({"\t\tResultRange< double, 1> *temp = function (arg_0_range_ptr->GetValue(), arg_1, "
                       "arg_2_range_ptr->GetValue());",
                       "\t\tret = temp;",
                       "\t}",
                       // the constant pointer parameter is not sent back
                       "\tpack_and_send (de, arg_1, 0);",
                       "\tpack_and_send (de, arg_2_range_ptr, 1);",
                       "\tpack_and_send (de, ret, 1);",
                       "\tdelete ret;",
                       "\tde->done_with_result ();",
                       "\treturn 1;",
                       "}",
                       ""}));
}

TEST_F(WriterTest, ScalarThreadUsesTheScalarCallBack) {
  EXPECT_EQ(stub("double count_up (int n)", EXECUTE_AS_THREAD),
            "typedef  double (*count_up_type) ( int );\n" + stub_head("count_up") +
                lines({"\tint arg_0; receive_and_unpack (de, arg_0, 0);",
                       "\tde->done_with_arguments ();",
                       "",
                       "\tde->break_connection (1);",
                       "",
                       "\tif (de->SetScalarThread () <= 0) {",
                       "\t\treturn 0;",
                       "\t}",
                       " double ret;"}) +
                load_block("count_up") +
                lines({"\t\tret = function (arg_0);", "\t}", "\tpack_and_send (de, ret);", "\treturn 1;", "}",
                       ""}));
}

TEST_F(WriterTest, LiveThreadWithOnlyItsChannel) {
  EXPECT_EQ(stub("int ticker (ExcelChannel<double> out)", EXECUTE_AS_LIVE_THREAD),
            lines({"template<class T>",
                   "class EC_ticker : public ExcelChannel<T> {",
                   "\tDataExchange *de;",
                   "public :",
                   "\tEC_ticker (DataExchange *_de ) {",
                   "\t\tde = _de;",
                   "\t}",
                   "\tint Send (T &return_value) {",
                   "\t\tpack_and_send (de, return_value);",
                   "\t\treturn de->end_delivery ();",
                   "\t}",
                   "};",
                   "typedef  int (*ticker_type) ( ExcelChannel<double> * );"}) +
                stub_head("ticker") +
                lines({"\tEC_ticker<double> excel_channel (de );",
                       "\tde->done_with_arguments ();",
                       "",
                       "\tde->break_connection (2);",
                       "",
                       "\tif (de->SetScalarStream () <= 0) {",
                       "\t\treturn 0;",
                       "\t}",
                       "\tint ret;"}) +
                load_block("ticker") +
                lines({"\t\tret = function (&excel_channel);", "\t}", "\tde->EndScalarStream();", "\treturn 1;",
                       "}", ""}));
}

// Pieces of non-scalar threads and streams, and of the container cases.
struct StubCase {
  const char* declaration;
  ExecutionType kind;
  std::vector<const char*> present;
  std::vector<const char*> absent;
};

TEST_F(WriterTest, StubPieces) {
  const StubCase cases[] = {
      {"int jump (ExcelChannel<double *> out, int every, double & last)", EXECUTE_AS_LIVE_THREAD,
       {"\tdouble  *arg_0;\n", "\tEC_jump (DataExchange *_de , double  &par_0) {\n",
        "\t\tif (de->make_connection (1) == 0) {\n", " \tpack_and_send (de, *arg_0);\n",
        "\t\tpack_and_send (de, return_value);\n\t\treturn de->end_delivery ();\n",
        "typedef  int (*jump_type) ( ExcelChannel<Range<double> *> * , int , double &);\n",
        "\tEC_jump<Range<double> *> excel_channel (de , arg_1);\n",
        "\t\tret = function (&excel_channel, arg_0, arg_1);\n",
        "\tint connection_status = de->make_connection (-1);\n\tif (connection_status == 0) \n"
        "\t\tpthread_cancel ( pthread_self() );\n\tde->done_with_result ();\n"},
       {"SetScalarStream", "EndScalarStream"}},
      {"Employee lookup (string key, int & hits)", EXECUTE_AS_THREAD,
       {"typedef  Employee (*lookup_type) ( string , int &);\n", " Employee ret;\n",
        "\tint connection_status = de->make_connection (1);\n\tif (connection_status == 0) \n"
        "\t\tpthread_cancel (pthread_self());\n\tpack_and_send (de, arg_1, 0);\n\tpack_and_send (de, ret);\n"
        "\tde->done_with_result ();\n"},
       {"SetScalarThread"}},
      // A RANGE parameter reaches the function as a Range<T>* and, outbound,
      // travels back through that pointer.
      {"int take_range (RANGE<double> r, RANGE<int> & back)", EXECUTE_AS_FUNCTION,
       {"( Range<double> *, Range<int> *);\n", "\tResultRange<double> arg_0; receive_and_unpack (de, arg_0, 0);\n"
        "\tRange<double> *arg_0_range_ptr = &arg_0;\n",
        "\t\tret = function (arg_0_range_ptr, arg_1_range_ptr);\n", "\tpack_and_send (de, arg_1_range_ptr, 0);\n"},
       {"pack_and_send (de, arg_0"}},
      // Dimensions inside a container: sent back as the container itself.
      {"int fill (VECTOR<double *> v)", EXECUTE_AS_FUNCTION,
       {"( vector<double> );\n", "\tvector<double> arg_0; receive_and_unpack (de, arg_0, 1);\n",
        "\t\tret = function (arg_0);\n", "\tpack_and_send (de, arg_0, 1);\n"},
       {"arg_0_range_ptr"}},
      // Scalar values but outbound arguments: every delivery on a connection
      // of its own, so the end comes as one more connection (KEY and -1).
      {"int hold (ExcelChannel<double> out, RANGE<double> & r)", EXECUTE_AS_LIVE_THREAD,
       {"\tResultRange<double>  *arg_0;\n", "\t\tRange<double> *arg_0_range_ptr = arg_0;\n"
        " \tpack_and_send (de, arg_0_range_ptr, 0);\n",
        "\t\tif (de->make_connection (1) == 0) {\n",
        "\tint connection_status = de->make_connection (-1);\n\tif (connection_status == 0) \n"
        "\t\tpthread_cancel ( pthread_self() );\n\tde->done_with_result ();\n"},
       {"*arg_0);", "SetScalarStream", "EndScalarStream"}},
  };
  for (const StubCase& c : cases) {
    std::string text = stub(c.declaration, c.kind);
    for (const char* piece : c.present) EXPECT_NE(text.find(piece), std::string::npos) << c.declaration << "\nmissing: " << piece << "\n" << text;
    for (const char* piece : c.absent) EXPECT_EQ(text.find(piece), std::string::npos) << c.declaration << "\nunexpected: " << piece;
  }
}

TEST_F(WriterTest, FunctionsMissingFromTheMapGetNoStub) {
  const struct {
    const char* declaration;
    ExecutionType kind;
    const char* message;
  } cases[] = {
      {"int not_there (int x)", EXECUTE_AS_FUNCTION,
       "function (not_there) is NOT available in the shared library... please take a look at it.\n"},
      // No channel: nothing is written, so the rest of the file still compiles.
      {"int f ()", EXECUTE_AS_LIVE_THREAD, "invalid live_thread argument :-(\nInvalid live thread specification...\n"},
  };
  for (const auto& c : cases) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(stub(c.declaration, c.kind), "");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.message);
  }
}

TEST_F(WriterTest, VbaTypeNames) {
  const struct {
    const char* type;
    const char* vba;
  } cases[] = {{"int", "Integer"}, {"long", "Long"},     {"float", "Single"},   {"double", "Double"},
               {"string", "String"}, {"qvtx_string", "String"}, {"short", "Variant"}, {"Double", "Variant"}};
  for (const auto& c : cases) EXPECT_STREQ(Prototype(c.type).vba_type(), c.vba) << c.type;
}

TEST_F(WriterTest, VbaRecordTypeAndArraySender) {
  std::string text = text_of([](FILE* out) {
    employee->Write_new_udt_array_type_defn(out);
    employee->Write_new_vba_type_functions(out);
  });
  EXPECT_EQ(text.substr(0, text.find("Private Function Pack_And_Send_Employee (")),
            lines({"", "Type Employee", "\tname as String", "\tscores() as Double", "\tage as Integer", "End Type",
                   "Type Employee_Array", "\tValue() as Employee", "End Type"}));
  EXPECT_NE(text.find("\tRet = Application.Run (\"Pelnor.xla!Pack_And_Send\", sd, obj.scores , 1)\n"),
            std::string::npos);
  // The whole array travels: count ub - lb + 1 (0 when unallocated), then every element.
  size_t start = text.find("Private Function Pack_And_Send_Employee_Array");
  size_t end = text.find("End Function\n", start);
  ASSERT_NE(start, std::string::npos);
  EXPECT_EQ(text.substr(start, end + 13 - start),
            lines({"Private Function Pack_And_Send_Employee_Array (sd as long, Arr() as Employee) as Integer",
                   "\tDim Ret as Integer", "\tDim Cnt as Integer", "\tDim ArraySize as Integer", " ArraySize = 0",
                   " On Error Resume Next", " \tArraySize = UBound(Arr) - LBound(Arr) + 1", "",
                   "\tOn Error Goto Last", "\tRet = Application.Run(\"Pelnor.xla!Pack_And_Send\", sd, ArraySize)",
                   "\tIf (Ret = 0 ) then GoTo Last", "\tFor Cnt = 0 to ArraySize - 1",
                   "\t\tRet = Pack_And_Send_Employee(sd, Arr(LBound(Arr) + Cnt))", "\t\tif (Ret = 0) then GoTo Last",
                   "\tNext Cnt", "\tPack_And_Send_Employee_Array = ArraySize + 1", "\tExit Function", "Last :",
                   "\tPack_And_Send_Employee_Array = 0", "End Function"}));
  EXPECT_NE(text.find("\tDim Obj(2) as variant\n"), std::string::npos);
  EXPECT_NE(text.find("Function Employee_Array (cb_data as Variant) as Employee()\n"), std::string::npos);
  EXPECT_NE(text.find("Last  :\n\tEmployee = result\nEnd Function\n"), std::string::npos);
}

TEST_F(WriterTest, VbaFunctionWithoutParameters) {
  EXPECT_EQ(vba("double area ()", EXECUTE_AS_FUNCTION),
            lines({"Private Function pri_area () as Variant",
                   "\tDim Ret\t\tas Integer",
                   "\tDim sd\t\tas long",
                   "\tOn Error Goto Last",
                   "\tsd = Application.Run(\"Pelnor.xla!OpenConnection\", host, port)",
                   "\tif (sd = 0) then Goto last",
                   "\tRet = Application.Run(\"Pelnor.xla!Function_start\",sd,\"payroll\",\"area\",last_updated_time)",
                   "\tif (Ret = 2) then Goto InCon",
                   "\tif (Ret = 0) then Goto last",
                   "\tRet = Application.Run (\"Pelnor.xla!DoneWithArguments\",sd)",
                   "\tif (Ret = 0 ) then Goto last",
                   "\tDim RCnt as integer",
                   "\tDim rcnt1 as integer",
                   "\tDim ArgType as string",
                   "\tDim udtVariant as Variant",
                   "\tDim udtVariantArray() as Variant",
                   "\tpri_area = Application.Run(\"Pelnor.xla!Receive_And_Unpack_bdt\", sd, \"double\", 0 )",
                   "\tApplication.Run \"Pelnor.xla!CloseConnection\", sd",
                   "\tExit Function",
                   "InCon:",
                   "\tApplication.Run \"Pelnor.xla!CloseConnection\",sd",
                   "\tpri_area = \"#OUT_OF_DATE\"",
                   "\tExit Function",
                   "Last:",
                   "\tApplication.Run \"Pelnor.xla!CloseConnection\", sd",
                   "\tpri_area = \"#LIB_ERROR\"",
                   "End Function",
                   "Function area () as Variant",
                   "\tDim qvtx_counter as Integer",
                   "\tarea = pri_area ()",
                   "\tIf (TypeName (Application.Caller) <> \"Range\") Then",
                   "\tEnd If",
                   "End Function"}));
}

TEST_F(WriterTest, VbaScalarThreadChecksTheCacheAndHasNoUnpacker) {
  std::string text = vba("double count_up (int n)", EXECUTE_AS_THREAD);
  EXPECT_EQ(text.find("rec_count_up"), std::string::npos);
  EXPECT_EQ(text.substr(0, text.find("\tDim Ret\t\t")),
            lines({"Private Function pri_count_up (n as Integer) as Variant", "\tDim Res as variant",
                   "\tres = Application.Run (\"Pelnor.xla!GetCacheResult\")", "\tif (res <> \"\") Then",
                   "\t\tpri_count_up = res", "\t\tExit Function", "\tEnd If"}));
  EXPECT_NE(text.find("\tUnpackRoutine = \"double\"\n"), std::string::npos);
  EXPECT_NE(text.find("\t\t\tpri_count_up = Application.Run(\"Pelnor.xla!Receive_And_Unpack\", sd, 0)\n"),
            std::string::npos);
}

TEST_F(WriterTest, VbaThreadWithOutboundArgumentGetsItsUnpacker) {
  std::string text = vba("double count_up (int & n)", EXECUTE_AS_THREAD);
  EXPECT_EQ(text.substr(0, text.find("Private Function pri_count_up")),
            lines({"Function rec_count_up(sd as long) as variant", "\tDim status as Integer",
                   "\tRedim result(0 To 2) as variant", " On Error GoTo Last", "",
                   "\tresult(1) = \"n\"",
                   "\tresult(2) = Application.Run(\"Pelnor.xla!Receive_And_Unpack_bdt\", sd, \"int\", 0)",
                   "\tresult(0) = Application.Run(\"Pelnor.xla!Receive_And_Unpack_bdt\", sd, \"double\", 0)",
                   "Last:", "\trec_count_up = result", "End Function", ""}));
  EXPECT_NE(text.find("\tUnpackRoutine = \"'\" + ThisWorkbook.Name + \"'!rec_count_up\"\n"), std::string::npos);
  EXPECT_NE(text.find("Function count_up (ByRef n as variant) as Variant\n"), std::string::npos);
  EXPECT_NE(text.find("\t\tcount_up = \"#Invalid (formula has pass-by-references)\"\n"), std::string::npos);
}

TEST_F(WriterTest, VbaLiveThreadStreamingRangesWithAnOutboundArgument) {
  std::string text = vba("int jump (ExcelChannel<double *> out, int every, double & last)", EXECUTE_AS_LIVE_THREAD);
  EXPECT_EQ(text.substr(0, text.find("Private Function pri_jump")),
            lines({"Function rec_jump(sd as long) as variant", "\tDim status as Integer",
                   "\tRedim result(0 To 4) as variant", " On Error GoTo Last", "", "\tresult(1) = \"last\"",
                   "\tresult(2) = Application.Run(\"Pelnor.xla!Receive_And_Unpack_bdt\", sd, \"double\", 0)",
                   "\tresult(0) = Application.Run(\"Pelnor.xla!Receive_And_Unpack_bdt\", sd, \"double\", 1)",
                   "Last:", "\trec_jump = result", "End Function", ""}));
  EXPECT_NE(text.find("Private Function pri_jump (every as Integer, ByRef last as Double) as Variant\n"
                      "\tDim Ret\t\tas Integer\n"),
            std::string::npos);
  EXPECT_NE(text.find(lines({"Function jump (every as variant, ByRef last as variant) as Variant",
                             "\tDim qvtx_counter as Integer", "\tDim l_arg_1() as Double", "\tDim l_every as Integer",
                             "\tDim l_last as Double", "\tif (TypeName(Application.Caller) = \"Range\") then"})),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\tjump = pri_jump (l_every , l_last )\nEnd Function\n"), std::string::npos);
  EXPECT_EQ(text.find("IsCacheReady"), std::string::npos);
}

TEST_F(WriterTest, VbaRecordArraysAsParametersAndMembers) {
  std::string text = vba("int fill (Employee * staff, const Employee boss)", EXECUTE_AS_FUNCTION);
  EXPECT_NE(text.find("Private Function pri_fill (staff() as Employee, boss as Employee) as Variant\n"),
            std::string::npos);
  EXPECT_NE(text.find("\tRet = Pack_And_Send_Employee_Array ( sd, staff )\n\tif (Ret = 0 ) then Goto last\n"
                      "\tRet = Pack_And_Send_Employee ( sd, boss )\n"),
            std::string::npos);
  EXPECT_NE(text.find(lines({"\tRCnt = Receive_and_unpack_Employee_Array (sd, udtVariantArray)",
                             "\tif (RCnt = 0) then goto Last", " Redim staff(RCnt-1)", "\tFor rcnt1 = 0 to Rcnt - 1",
                             "\t\tstaff(rcnt1) = Employee (udtVariantArray(rcnt1))", "\tNext rcnt1",
                             "\tpri_fill = Application.Run(\"Pelnor.xla!Receive_And_Unpack_bdt\", sd, \"int\", 0 )"})),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("Function fill (ByRef staff() as Employee, boss as Employee) as Variant\n"), std::string::npos);
  EXPECT_NE(text.find(lines({"\tIf (TypeName (Application.Caller) <> \"Range\") Then",
                             "\t\tRedim staff(UBound(l_staff))", "\t\tfor qvtx_counter = 0 to UBound(staff)",
                             "\t\t\tstaff(qvtx_counter) = l_staff(qvtx_counter)", "\t\tNext qvtx_counter",
                             "\tEnd If"})),
            std::string::npos);

  ExternDefinition* team = declare("Team (Employee * members, Employee lead)");
  ASSERT_NE(team, nullptr);
  std::string routines = text_of([&](FILE* out) {
    team->Write_new_udt_array_type_defn(out);
    team->Write_new_vba_type_functions(out);
  });
  EXPECT_NE(routines.find("\tmembers() as Employee\n\tlead as Employee\n"), std::string::npos);
  EXPECT_NE(routines.find(" Ret = Pack_And_Send_Employee_Array (sd, obj.members)\n\tIf (Ret = 0) Then Goto Last\n"
                          " Ret = Pack_And_Send_Employee (sd, obj.lead)\n"),
            std::string::npos);
  // A record array member comes in through the emptied RetArray: a call
  // statement with parenthesised arguments would not compile.
  EXPECT_NE(routines.find("\tErase RetArray\n\tCall Receive_And_UnPack_Employee_Array (sd, RetArray)\n"
                          "\tObj(0) = RetArray\n\tObj(1) = Receive_And_UnPack_Employee (sd)\n"),
            std::string::npos)
      << routines;
  EXPECT_EQ(parenthesised_call_statements(routines), std::vector<std::string>{});
  EXPECT_NE(routines.find("\tresult.members = Employee_Array(input_arr(0))\n\tresult.lead = Employee(input_arr(1))\n"),
            std::string::npos);
}

TEST_F(WriterTest, VbaTwinHeadersOnlyForFunctionsReturningRecordArrays) {
  std::string function = vba("Employee * lookup (string key)", EXECUTE_AS_FUNCTION);
  EXPECT_NE(function.find(lines({"#If VBA6 Then", "Private Function pri_lookup (key as String) as Employee()",
                                 "#Else", "Private Function pri_lookup (key as String) as Employee_Array",
                                 "#End if"})),
            std::string::npos)
      << function;
  EXPECT_NE(function.find(lines({"#If VBA6 Then", "Function lookup (key as variant) As Employee()", "#Else",
                                 "Function lookup (key as variant) as Employee_Array", "#End if"})),
            std::string::npos);
  EXPECT_NE(function.find("\tpri_lookup = Employee_Array(lookup_result)\n"), std::string::npos);
  EXPECT_EQ(function.find("#OUT_OF_DATE"), std::string::npos);

  std::string thread = vba("Employee * lookup (string key)", EXECUTE_AS_THREAD);
  EXPECT_EQ(thread.find("#If VBA6"), std::string::npos);
  EXPECT_NE(thread.find("Function lookup (key as variant) As Variant\n"), std::string::npos);
  EXPECT_NE(thread.find("Private Function pri_lookup (key as String) as Variant\n"), std::string::npos);
}

TEST_F(WriterTest, VbaRangeArgumentIsReadCellByCell) {
  std::string text = vba("double f (VECTOR<double> xs, Employee & e)", EXECUTE_AS_FUNCTION);
  EXPECT_NE(text.find(lines({"\t\tif (TypeName (xs) = \"Range\" ) Then", "\t\t\tRedim l_xs (0 to xs.count - 1)",
                             "\t\t\tfor qvtx_counter = 0 to xs.count - 1",
                             "\t\t\t\tl_xs(qvtx_counter) = xs(qvtx_counter+1).value", "\t\t\tNext qvtx_counter",
                             "\t\telse", "\t\t\tl_xs = xs", "\t\tend if", "\t\t\tl_e = e",
                             "\tf = pri_f (l_xs , l_e )", "\tIf (TypeName (Application.Caller) <> \"Range\") Then",
                             "\t\te = l_e", "\tEnd If", "End Function"})),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\tRet = Application.Run(\"Pelnor.xla!Pack_And_Send\", sd, xs, 1)\n"), std::string::npos);
  EXPECT_NE(text.find("\tudtVariant = Receive_and_unpack_Employee (sd)\n\te = Employee (udtVariant)\n"),
            std::string::npos);
}

}  // namespace
