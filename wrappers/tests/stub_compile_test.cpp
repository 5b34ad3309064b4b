// A generated stub source compiled with the shipped "system.info" into a stub
// library that loads with immediate binding and exports one entry per stub.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "mangled_list.h"
#include "stub_writer.h"
#include "system_info.h"
#include "test_support.h"
#include "wrapper_interface.h"

namespace {

struct Declared {
  const char* text;
  ExecutionType kind;
};

// Every kind of stub: pointer and range parameters and results, vectors,
// records, scalar and non-scalar threads and streams.
const Declared kDeclarations[] = {
    {"double average (const double * values, int count)", EXECUTE_AS_FUNCTION},
    {"int scale (VECTOR<double> & values, double factor)", EXECUTE_AS_FUNCTION},
    {"int take_range (RANGE<double> r, RANGE<int> & back)", EXECUTE_AS_FUNCTION},
    {"Employee * find_all (string key)", EXECUTE_AS_FUNCTION},
    {"Employee lookup (string key, int & hits)", EXECUTE_AS_THREAD},
    {"double count_up (int n)", EXECUTE_AS_THREAD},
    {"int ticker (ExcelChannel<double> out)", EXECUTE_AS_LIVE_THREAD},
    {"int jump (ExcelChannel<double *> out, int every, double & last)", EXECUTE_AS_LIVE_THREAD},
    {"char * name_of (char * prefix, char ** names)", EXECUTE_AS_FUNCTION},
    {"int fill (VECTOR<double *> v, const RANGE<double> & r)", EXECUTE_AS_FUNCTION},
    {"int hold (ExcelChannel<double> out, RANGE<double> & r, VECTOR<Employee> & staff)", EXECUTE_AS_LIVE_THREAD},
};

TEST(StubCompileTest, GeneratedStubsCompileAndLoad) {
  if (!file_exists(VELMOR_TEST_SUPPORT_HEADER)) GTEST_SKIP() << "no " VELMOR_TEST_SUPPORT_HEADER " yet";
  TempDir dir;
  setenv("VELMOR_LOG_DIR", dir.path().c_str(), 1);
  setenv("VELMOR_BIN_DIR", VELMOR_TEST_BIN_DIR, 1);
  settle_wrapper_directory();
  char map_path[WRAPPER_PATH_SIZE + 1];
  map_info_path(map_path);
  ASSERT_EQ(empty_map_info(map_path), 1);
  ASSERT_EQ(map_mangled_demangled((char*)VELMOR_TEST_USERLIB), 1);
  EXPECT_NE(read_file(map_path).find(std::string(VELMOR_TEST_USERLIB) + "~_Z7averagePdi~average(double*, int)~\n"),
            std::string::npos)
      << read_file(map_path);
  mangled_list.load(map_path);

  ExternDefinition* employee = parse_declaration("Employee (string name, char * nick, double * scores, VECTOR<int> ids, int age)");
  ASSERT_NE(employee, nullptr);
  static Llist<ExternDefinition*>* types = new Llist<ExternDefinition*>(employee, NULL);
  employee->check_and_set_udt(types);

  const std::string prefix = dir.file("stubs");
  FILE* out = fopen((prefix + ".cpp").c_str(), "w");
  ASSERT_NE(out, nullptr);
  write_cpp_banner(out);
  write_cpp_include(out);
  employee->Write_new_class_externs(out);
  fprintf(out, "\n");
  employee->Write_new_class_definition(out);
  for (const Declared& d : kDeclarations) {
    ExternDefinition* decl = parse_declaration(d.text);
    ASSERT_NE(decl, nullptr) << d.text;
    decl->check_and_set_udt(types);
    EXPECT_EQ(decl->Write_new_tarrow_stub(out, d.kind), 1) << d.text;
  }
  fclose(out);

  ASSERT_EQ(compile_shared_object_file(prefix.c_str()), 1) << read_file(prefix + ".cpp");
  void* handle = dlopen((prefix + ".so").c_str(), RTLD_NOW);
  ASSERT_NE(handle, nullptr) << dlerror();
  for (const Declared& d : kDeclarations) {
    ExternDefinition* decl = parse_declaration(d.text);
    EXPECT_NE(dlsym(handle, decl->FunctionName()), nullptr) << decl->FunctionName();
  }
  dlclose(handle);
}

}  // namespace
