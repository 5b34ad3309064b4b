// The glue's streams through PVM: the client sees the same lines and the same
// connection closes, at the same moments, as from a local call; a stream
// whose client has gone ends on the worker too; every number arrives as
// exactly as from a local call.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "e2e_support.h"
#include "glue_support.h"
#include "values_support.h"

namespace {

class PvmGlue : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = new ServerProcess();
    ServerProcess::Options o;
    o.def_texts = glue_definition_files();
    o.def_texts.push_back(values_definition_file());
    o.per_user = true;
    o.max_processes = 2;
    o.max_pvm_processes = 2;
    ASSERT_TRUE(server_->prepare(o));
    ASSERT_TRUE(server_->start()) << server_->log();
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  std::string trace() const { return read_file(server_->root() + "/worker.trace"); }
  static ServerProcess* server_;
};
ServerProcess* PvmGlue::server_ = nullptr;

TEST_F(PvmGlue, StubsAndStreamsWithOutboundArguments) {
  E2EClient client(server_);
  CallPrint target = client.call("glue_long", "target05", {"7"});
  ASSERT_TRUE(target.ok) << target.error << "\n" << server_->log();
  EXPECT_EQ(target.result, "507");

  CallPrint s = client.call("glue_streams", "sout", {"[1,2]", "2"});
  ASSERT_TRUE(s.ok) << s.error;
  EXPECT_EQ(client.deliveries(s, 5, 15000), (std::vector<std::string>{"[2,3] ; 0", "[3,4] ; 1", "END"}))
      << server_->log();
  EXPECT_NE(trace().find("received a request glue_streams  sout"), std::string::npos) << trace();
}

TEST_F(PvmGlue, EveryNumberArrivesExactly) {
  check_values_travel_exactly(server_);
  if (HasFailure()) ADD_FAILURE() << server_->log() << trace();
}

TEST_F(PvmGlue, EachDeliveryConnectionClosesAtOnce) {
  // The worker waits for the release between deliveries, so no next marker
  // can close a delivery's connection.
  check_deliveries_close_at_once(server_->port(), server_->root(), server_->log());
}

TEST_F(PvmGlue, StreamsWhoseClientHasGoneEndOnTheWorker) {
  const struct {
    const char* function;
    bool outbound;
  } cases[] = {{"forever", false}, {"forever_out", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.function);
    std::string log = server_->root() + "/pvm_" + c.function + ".log";
    {
      E2EClient client(server_);
      std::vector<std::string> args = c.outbound ? std::vector<std::string>{"0", log} : std::vector<std::string>{log};
      CallPrint s = client.call("glue_streams", c.function, args);
      ASSERT_TRUE(s.ok) << s.error << "\n" << server_->log();
      EXPECT_EQ(client.deliveries(s, 2, 15000).size(), 2u);
    }
    // The proxy could not deliver: it ends the call as if stopped, and the
    // worker's stream ends at its next safe point.
    EXPECT_TRUE(file_gets(log, "ended", 20000)) << read_file(log) << server_->log() << trace();
  }
  E2EClient client(server_);
  CallPrint r = client.call("glue_long", "target02", {"1"});
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.result, "201");
}

}  // namespace
