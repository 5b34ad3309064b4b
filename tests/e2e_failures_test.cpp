// A real Velmord whose library functions throw: each throw fails its own call
// the way a library failure does, in every kind of call, while another
// client's open conversation and the server go on. Both models, and the pool
// of one process, where the server process runs the calls itself.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e_support.h"
#include "glue_support.h"
#include "line_connection.h"

namespace {

class Failures : public ::testing::TestWithParam<ModelParam> {
 protected:
  void SetUp() override {
    ServerProcess::Options o;
    o.def_texts = raising_definition_files();
    o.per_user = GetParam().per_user;
    o.max_processes = GetParam().max_processes;
    ASSERT_TRUE(server_.prepare(o));
    ASSERT_TRUE(server_.start()) << server_.log();
  }
  ServerProcess server_;
};

TEST_P(Failures, AThrowingFunctionFailsOnlyItsOwnCall) {
  // Another client's conversation, open throughout.
  LineConnection other(15000);
  std::string error, line;
  ASSERT_TRUE(other.open("127.0.0.1", server_.port(), &error, "127.0.0.2")) << error;
  ASSERT_TRUE(other.send("givefm~1", &error) && other.receive(&line, &error)) << error;
  const std::string first_module = line;

  for (const RaisingCase& c : raising_cases(false)) {
    SCOPED_TRACE(std::string(c.module) + "." + c.function + " " + c.args.back());
    {
      E2EClient client(&server_, 15000);
      CallPrint r = client.call(c.module, c.function, c.args);
      EXPECT_EQ(call_outcome(&client, r, c.expected.size()), c.expected) << server_.log();
    }
    ASSERT_TRUE(other.send("givefm~1", &error) && other.receive(&line, &error))
        << error << "\n" << server_.log();
    EXPECT_EQ(line, first_module);
  }
  std::string log = read_file(server_.root() + "/server.log");
  EXPECT_NE(log.find("Function raise_kind of module glue_raise threw: raise_kind was told to fail"),
            std::string::npos) << server_.log();
  EXPECT_NE(log.find("Function raise_kind of module glue_raise threw: an exception that is not a std::exception"),
            std::string::npos) << server_.log();
  EXPECT_NE(log.find("Function raise_stream_out of module glue_raise_streams threw: "), std::string::npos)
      << server_.log();

  // Each kind still serves a call that does not throw.
  E2EClient client(&server_, 15000);
  CallPrint plain = client.call("glue_raise", "raise_kind", {"7"});
  EXPECT_EQ(call_outcome(&client, plain, 1), std::vector<std::string>{"7"}) << server_.log();
  CallPrint thread = client.call("glue_raise_async", "raise_kind", {"8"});
  EXPECT_EQ(client.deliveries(thread, 1, 15000), std::vector<std::string>{"8"}) << server_.log();
}

INSTANTIATE_TEST_SUITE_P(Models, Failures,
                         ::testing::Values(ModelParam{false, 1, "OneProcessPool"},
                                           ModelParam{false, 2, "Pool"},
                                           ModelParam{true, 2, "PerUser"}),
                         [](const ::testing::TestParamInfo<ModelParam>& i) { return i.param.name; });

}  // namespace
