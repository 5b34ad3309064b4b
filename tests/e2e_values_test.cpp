// Numbers at full precision through every path of a call, and C libraries
// published as they are, against a real Velmord in both execution models.
#include <gtest/gtest.h>

#include <fstream>

#include "e2e_support.h"
#include "values_support.h"

namespace {

void write_text(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

// A C library (gcc, C linkage only), and a library that holds a C and a C++
// function of the same plain name, built in dir. Returns the compiler's
// complaints, empty on success.
std::string build_c_libraries(const std::string& dir) {
  write_text(dir + "/cfuncs.c",
             "double c_third(double x) { return x / 3.0; }\n"
             "int c_add(int a, int b) { return a + b; }\n"
             "const char *c_greet(const char *name) { return name[0] ? \"hello\" : \"nobody\"; }\n");
  write_text(dir + "/twice.c", "double twice(double x) { return -x; }\n");
  write_text(dir + "/twice_cpp.cpp", "double twice(double x) { return 2 * x; }\n");
  const std::string d = "'" + dir + "'";
  return command_output("cd " + d + " && gcc -shared -fPIC -o libcfuncs.so cfuncs.c && " +
                            "gcc -c -fPIC twice.c && g++ -c -fPIC twice_cpp.cpp && " +
                            "g++ -shared -o libtwice.so twice.o twice_cpp.o",
                        dir + "/gcc.err");
}

class Values : public ::testing::TestWithParam<ModelParam> {
 protected:
  void SetUp() override {
    ASSERT_EQ(build_c_libraries(server_.root()), "");
    ServerProcess::Options o;
    o.def_texts = {values_definition_file(),
                   {"clib", "LIBRARIES {\n  " + server_.root() + "/libcfuncs.so;\n}\n"
                            "FUNCTIONS {\n  double c_third (double x);\n  int c_add (int a, int b);\n"
                            "  char * c_greet (char * name);\n}\n"},
                   {"mixed", "LIBRARIES {\n  " + server_.root() + "/libtwice.so;\n}\n"
                             "FUNCTIONS {\n  double twice (double x);\n}\n"}};
    o.per_user = GetParam().per_user;
    o.max_processes = GetParam().max_processes;
    ASSERT_TRUE(server_.prepare(o));
    ASSERT_TRUE(server_.start()) << server_.log();
  }
  ServerProcess server_;
};

TEST_P(Values, EveryNumberArrivesExactly) { check_values_travel_exactly(&server_); }

TEST_P(Values, CLibrariesArePublishedAsTheyAre) {
  E2EClient client(&server_);
  const struct {
    const char* module;
    const char* function;
    std::vector<std::string> args;
    const char* result;
  } cases[] = {
      {"clib", "c_third", {"1"}, "0.3333333333333333"},
      {"clib", "c_add", {"40", "2"}, "42"},
      {"clib", "c_greet", {"Ann"}, "hello"},
      // The C++ function, not the C one of the same name beside it.
      {"mixed", "twice", {"21"}, "42"},
  };
  for (const auto& c : cases) {
    CallPrint r = client.call(c.module, c.function, c.args);
    ASSERT_TRUE(r.ok) << c.function << ": " << r.error << "\n" << server_.log();
    EXPECT_EQ(r.result, c.result) << c.function;
  }
  EXPECT_EQ(server_.log().find("is NOT available"), std::string::npos) << server_.log();
}

INSTANTIATE_TEST_SUITE_P(Models, Values,
                         ::testing::Values(ModelParam{false, 2, "Pool"}, ModelParam{true, 2, "PerUser"}),
                         [](const ::testing::TestParamInfo<ModelParam>& i) { return i.param.name; });

}  // namespace
