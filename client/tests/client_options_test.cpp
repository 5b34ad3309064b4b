#include "client_options.h"

#include <gtest/gtest.h>

namespace {

bool parse(std::vector<std::string> words, ClientOptions* o, std::string* error) {
  std::vector<char*> argv;
  static char name[] = "velmor_client";
  argv.push_back(name);
  for (std::string& w : words) argv.push_back(&w[0]);
  return parse_client_options(static_cast<int>(argv.size()), argv.data(), o, error);
}

TEST(ClientOptions, ReadsOptionsCommandAndOperands) {
  ClientOptions o;
  std::string error;
  ASSERT_TRUE(parse({"-p", "12345", "--defs", "a.def", "-n", "2", "-s", "127.0.0.2", "call", "m", "f",
                     "-1", "[1,2]"},
                    &o, &error))
      << error;
  EXPECT_EQ(o.port, 12345);
  EXPECT_EQ(o.source, "127.0.0.2");
  EXPECT_EQ(o.def_files, std::vector<std::string>{"a.def"});
  EXPECT_EQ(o.count, 2);
  EXPECT_EQ(o.command, "call");
  EXPECT_EQ(o.operands, (std::vector<std::string>{"m", "f", "-1", "[1,2]"}));
}

TEST(ClientOptions, RejectsMalformedCommandLines) {
  struct Case {
    std::vector<std::string> words;
    const char* message_part;
  } cases[] = {
      {{}, "no command"},
      {{"-p", "x", "modules"}, "--port"},
      {{"-p", "70000", "modules"}, "from 1 to 65535"},
      {{"--bogus", "modules"}, "unknown option --bogus"},
      {{"--defs"}, "needs a definition file"},
      {{"--source"}, "needs a local address"},
  };
  cases[1].message_part = "option -p";
  for (Case& c : cases) {
    ClientOptions o;
    std::string error;
    EXPECT_FALSE(parse(c.words, &o, &error));
    EXPECT_NE(error.find(c.message_part), std::string::npos) << error;
  }
}

TEST(ClientOptions, ModuleNameOfADefinitionFile) {
  EXPECT_EQ(module_of_definition_file("samples/sample_threads.def"), "sample_threads");
  EXPECT_EQ(module_of_definition_file("./payroll.def"), "payroll");
  EXPECT_EQ(module_of_definition_file("plain"), "plain");
}

}  // namespace
