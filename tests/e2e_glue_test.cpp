// The generated glue over a library shaped like a site's real code, against a
// real Velmord: stubs bound to their own functions beside very long symbols,
// a file whose bad declaration does not sink the good ones, records holding
// arrays of records, and streams that end (with their end connection, or
// because their client has gone).
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "e2e_support.h"
#include "glue_support.h"

namespace {

class Glue : public ::testing::TestWithParam<ModelParam> {
 protected:
  void SetUp() override {
    ServerProcess::Options o;
    o.def_texts = glue_definition_files();
    o.per_user = GetParam().per_user;
    o.max_processes = GetParam().max_processes;
    ASSERT_TRUE(server_.prepare(o));
    ASSERT_TRUE(server_.start()) << server_.log();
  }
  ServerProcess server_;
};

TEST_P(Glue, StubsBindTheirOwnFunctionsBesideLongSymbols) {
  // The library's symbol listing has readable lines far over a line buffer.
  std::istringstream map(read_file(server_.root() + "/wrappers/map.info"));
  size_t longest = 0;
  for (std::string line; std::getline(map, line);) longest = std::max(longest, line.size());
  EXPECT_GT(longest, 2048u);

  E2EClient client(&server_);
  for (int i = 1; i <= 8; i++) {
    std::string name = "target0" + std::to_string(i);
    CallPrint r = client.call("glue_long", name, {"5"});
    ASSERT_TRUE(r.ok) << name << ": " << r.error << "\n" << server_.log();
    EXPECT_EQ(r.result, std::to_string(100 * i + 5)) << name;
  }
}

TEST_P(Glue, ABadDeclarationIsReportedAndTheRestIsServed) {
  std::string log = read_file(server_.root() + "/server.log");
  EXPECT_NE(log.find(server_.def_path("glue_mixed") +
                     ":10: typo is left out of the generated files: unknown type 'Emplyee' of parameter 'e'"),
            std::string::npos)
      << log;
  E2EClient client(&server_);
  const struct {
    const char* function;
    std::vector<std::string> args;
    const char* result;
  } cases[] = {
      {"ok2", {"21"}, "42"},
      {"cfirst", {"a"}, "b"},
      {"cfirst", {""}, "0"},  // the empty text is '\0'
      {"make_team", {"Blue", "3"}, "{Blue,[{p0,20},{p1,21},{p2,22}]}"},
      {"make_team", {"none", "0"}, "{none,[]}"},
      {"team_age", {"{AB,[{x,1},{y,2}]}"}, "2003"},
  };
  for (const auto& c : cases) {
    CallPrint r = client.call("glue_mixed", c.function, c.args);
    ASSERT_TRUE(r.ok) << c.function << ": " << r.error << "\n" << server_.log();
    EXPECT_EQ(r.result, c.result) << c.function;
  }
  // The left-out declaration has no stub, beside the others.
  void* stubs = dlopen((server_.root() + "/wrappers/glue_mixed.so").c_str(), RTLD_LAZY);
  ASSERT_NE(stubs, nullptr) << dlerror();
  EXPECT_NE(dlsym(stubs, "ok2"), nullptr);
  EXPECT_EQ(dlsym(stubs, "typo"), nullptr);
  dlclose(stubs);
  // The generated module never mentions it either.
  std::string bas = read_file(server_.root() + "/wrappers/glue_mixed.bas");
  EXPECT_EQ(bas.find("typo"), std::string::npos);
  EXPECT_NE(bas.find("\tCall Receive_And_UnPack_Person_Array (sd, RetArray)\n"), std::string::npos);
}

TEST_P(Glue, AStreamWithOutboundArgumentsEndsWithItsEndConnection) {
  E2EClient client(&server_);
  CallPrint s = client.call("glue_streams", "sout", {"[1,2]", "2"});
  ASSERT_TRUE(s.ok) << s.error << "\n" << server_.log();
  EXPECT_EQ(client.deliveries(s, 5, 15000), (std::vector<std::string>{"[2,3] ; 0", "[3,4] ; 1", "END"}));
}

TEST_P(Glue, EachDeliveryConnectionClosesAtOnce) {
  check_deliveries_close_at_once(server_.port(), server_.root(), server_.log());
}

TEST_P(Glue, StreamsWhoseClientHasGoneEnd) {
  // On the client's stream connection, and on connections of their own.
  const struct {
    const char* function;
    bool outbound;
  } cases[] = {{"forever", false}, {"forever_out", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.function);
    std::string log = server_.root() + "/" + c.function + ".log";
    {
      E2EClient client(&server_);
      std::vector<std::string> args = c.outbound ? std::vector<std::string>{"0", log} : std::vector<std::string>{log};
      CallPrint s = client.call("glue_streams", c.function, args);
      ASSERT_TRUE(s.ok) << s.error << "\n" << server_.log();
      EXPECT_EQ(client.deliveries(s, 2, 15000).size(), 2u);
    }  // the client goes away without stopping the stream
    // Send answers 0 once a value could not be delivered, and the stream
    // ends at its next safe point although it ignores that.
    EXPECT_TRUE(file_gets(log, "ended", 20000)) << read_file(log) << server_.log();
    std::string values = read_file(log);
    EXPECT_NE(values.find("0\nended\n"), std::string::npos) << values;
  }
  // The server goes on serving.
  E2EClient client(&server_);
  CallPrint r = client.call("glue_long", "target03", {"1"});
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.result, "301");
}

INSTANTIATE_TEST_SUITE_P(Models, Glue,
                         ::testing::Values(ModelParam{false, 2, "Pool"}, ModelParam{true, 2, "PerUser"}),
                         [](const ::testing::TestParamInfo<ModelParam>& i) { return i.param.name; });

}  // namespace
