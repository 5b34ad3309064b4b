// A changed definition file: at the next start its stubs are regenerated and
// its stamp changes, so workbooks built from the old module are out of date.
#include <sys/stat.h>
#include <sys/time.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "e2e_support.h"

namespace {

TEST(Restart, ChangedDefinitionFileGetsNewStubsAndStamp) {
  ServerProcess server;
  ServerProcess::Options o;
  o.defs = {"sample_threads"};
  o.max_processes = 1;
  ASSERT_TRUE(server.prepare(o));
  ASSERT_TRUE(server.start()) << server.log();
  std::string old_stamp, error;
  {
    E2EClient client(&server);
    ASSERT_TRUE(client.session()->module_stamp("sample_threads", &old_stamp, &error)) << error;
    CallPrint p = client.call("sample_threads", "range_average", {"[1,2,6]"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.result, "3");
  }
  server.stop();

  // Edit the file (a later stamp, at least a second after the first one); date the
  // old stub library back so that it is older than the file whatever the clock says.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  std::string def = server.def_path("sample_threads");
  std::ofstream(def, std::ios::app) << "// edited\n";
  std::string so = server.root() + "/wrappers/sample_threads.so";
  struct timeval earlier[2];
  gettimeofday(&earlier[0], nullptr);
  earlier[0].tv_sec -= 60;
  earlier[1] = earlier[0];
  ASSERT_EQ(utimes(so.c_str(), earlier), 0);
  // The stub library rebuilt now must come out newer than the file.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));

  ASSERT_TRUE(server.start()) << server.log();
  E2EClient client(&server);
  std::string new_stamp, bas_stamp;
  ASSERT_TRUE(client.session()->server_stamp("sample_threads", &new_stamp, &error)) << error;
  ASSERT_TRUE(client.session()->module_stamp("sample_threads", &bas_stamp, &error)) << error;
  EXPECT_NE(new_stamp, old_stamp);
  EXPECT_EQ(bas_stamp, new_stamp);  // the VBA module was written again

  CallPrint stale = client.call("sample_threads", "range_average", {"[1,2,6]"}, old_stamp);
  ASSERT_TRUE(stale.ok) << stale.error;
  EXPECT_TRUE(stale.out_of_date);
  CallPrint fresh = client.call("sample_threads", "range_average", {"[1,2,6]"});
  ASSERT_TRUE(fresh.ok) << fresh.error;
  EXPECT_FALSE(fresh.out_of_date);
  EXPECT_EQ(fresh.result, "3");
  std::vector<std::string> defs;
  ASSERT_TRUE(client.session()->definitions("sample_threads", &defs, &error)) << error;
  EXPECT_EQ(defs.size(), 3u);

  // Unchanged: the stubs are kept, the stamp stays, and the catalogue still
  // serves the declarations, so a client can type its arguments from it.
  server.stop();
  ASSERT_TRUE(server.start()) << server.log();
  E2EClient third(&server);
  std::string kept_stamp;
  ASSERT_TRUE(third.session()->server_stamp("sample_threads", &kept_stamp, &error)) << error;
  EXPECT_EQ(kept_stamp, new_stamp);
  std::vector<std::string> kept_defs;
  ASSERT_TRUE(third.session()->definitions("sample_threads", &kept_defs, &error)) << error;
  EXPECT_EQ(kept_defs, defs);
  CallPrint kept = third.call("sample_threads", "range_average", {"[1,2,6]"});
  ASSERT_TRUE(kept.ok) << kept.error;
  EXPECT_EQ(kept.result, "3");
}

}  // namespace
