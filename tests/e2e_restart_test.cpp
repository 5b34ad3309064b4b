// A changed definition file: at the next start its stubs are regenerated and
// its stamp changes, so workbooks built from the old module are out of date.
#include <sys/stat.h>
#include <sys/time.h>

#include <gtest/gtest.h>

#include <fstream>

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

  // Edit the file and date it clearly later than the stub library built from it.
  std::string def = server.def_path("sample_threads");
  std::ofstream(def, std::ios::app) << "// edited\n";
  struct timeval later[2];
  gettimeofday(&later[0], nullptr);
  later[0].tv_sec += 5;
  later[1] = later[0];
  ASSERT_EQ(utimes(def.c_str(), later), 0);

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
}

}  // namespace
