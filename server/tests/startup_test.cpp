// Start-up of the real Velmord, run as a child process in test mode.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

using velmor_test::Process;
using velmor_test::TempDir;

typedef std::map<std::string, std::string> Env;

class StartupTest : public ::testing::Test {
 protected:
  StartupTest() {
    bin_dir_ = dir_.file("bin");
    log_dir_ = dir_.file("log");
    mkdir(bin_dir_.c_str(), 0755);
    mkdir(log_dir_.c_str(), 0755);
    velmor_test::write_file(bin_dir_ + "/system.info", "# not used by these tests\n");
  }

  // Environment of a good start; each test changes what it is about.
  Env env() const {
    return {{"VELMOR_BIN_DIR", bin_dir_}, {"VELMOR_LOG_DIR", log_dir_},
            {"MAX_PROCESSES", "2"}, {"MAX_THREADS_PER_PROCESS", "8"}};
  }

  // Runs Velmord to its end; returns the exit status.
  int run(const Env& e, const std::vector<std::string>& args) {
    Process p(VELMORD_PATH, args, e, dir_.path());
    int status = p.wait_exit(60000);
    out_ = p.out();
    err_ = p.err();
    return status;
  }

  bool err_has(const std::string& text) const { return err_.find(text) != std::string::npos; }
  bool out_has(const std::string& text) const { return out_.find(text) != std::string::npos; }

  TempDir dir_;
  std::string bin_dir_, log_dir_;
  std::string out_, err_;
};

const char* kUsage =
    "Usage: Velmord.exe [-p port] [-s | --single] prototype_file ...\n"
    "(or)\n"
    "Usage: Velmord.exe [-t | --test] prototype_file ...\n";

TEST_F(StartupTest, NoArgumentsPrintsUsage) {
  EXPECT_EQ(run(env(), {}), 1);
  EXPECT_EQ(err_, kUsage);
}

TEST_F(StartupTest, PortOptionWithoutValuePrintsUsage) {
  EXPECT_EQ(run(env(), {"-t", "-p"}), 1);
  EXPECT_TRUE(err_has(kUsage)) << err_;
  EXPECT_FALSE(out_has("Test completed"));
}

TEST_F(StartupTest, TestModeSpellings) {
  for (const char* flag : {"-t", "--test", "-T", "--TEST", "--Test"}) {
    SCOPED_TRACE(flag);
    EXPECT_EQ(run(env(), {flag}), 0);
    EXPECT_TRUE(err_has("\nRunning in test mode, please watch out for errors ...\n")) << err_;
    EXPECT_TRUE(out_has("Test completed. Exiting...\n")) << out_;
    // Test mode stops before the process manager: no pid file.
    struct stat st;
    EXPECT_NE(stat((log_dir_ + "/velmor.pid").c_str(), &st), 0);
  }
}

TEST_F(StartupTest, UnknownArgumentsAreProtoTypeFiles) {
  // "-P" and "-s" are no options: they name files like any other word.
  EXPECT_EQ(run(env(), {"-P", "-s", "missing_one.def", "-t", "missing_two.def"}), 0);
  for (const char* name : {"-P", "-s", "missing_one.def", "missing_two.def"})
    EXPECT_TRUE(err_has(std::string("file (") + name + ") not found, continuing with the rest\n"))
        << name << "\n" << err_;
  EXPECT_TRUE(out_has("Test completed. Exiting...\n"));
}

// A file that is there but unreadable for the server's user (a definition
// file in a 0700 home, with the service running as its own user) says why
// after the usual line; a file that is not there says nothing more. Root
// reads anything, so as root the server runs without the capabilities that
// override file permissions.
TEST_F(StartupTest, UnreadableDefinitionFileSaysWhy) {
  const std::string unreadable = dir_.file("payroll.def");
  velmor_test::write_file(unreadable, "FUNCTIONS {\n  double net_pay (double gross);\n}\n");
  ASSERT_EQ(chmod(unreadable.c_str(), 0), 0);
  const std::string missing = dir_.file("missing.def");
  std::vector<std::string> args = {"-t", unreadable, missing};
  std::string program = VELMORD_PATH;
  if (geteuid() == 0) {
    args.insert(args.begin(), {"--inh-caps=-dac_override,-dac_read_search",
                               "--bounding-set=-dac_override,-dac_read_search", program});
    program = "/usr/bin/setpriv";
  }
  Process p(program, args, env(), dir_.path());
  EXPECT_EQ(p.wait_exit(60000), 0);
  err_ = p.err();
  const struct passwd* me = getpwuid(geteuid());
  ASSERT_NE(me, nullptr);
  EXPECT_TRUE(err_has("file (" + unreadable + ") not found, continuing with the rest\n"
                      "permission denied: the server runs as user " + me->pw_name + "\n")) << err_;
  EXPECT_TRUE(err_has("file (" + missing + ") not found, continuing with the rest\n")) << err_;
  EXPECT_FALSE(err_has("file (" + missing + ") not found, continuing with the rest\nperm")) << err_;
}

TEST_F(StartupTest, SummaryBlock) {
  EXPECT_EQ(run(env(), {"-t"}), 0);
  EXPECT_TRUE(err_has("----------------- SUMMARY --------------\n"
                      "EXECUTION_MODEL: PROCESS_POOL\n"
                      "MAX_PROCESSES: 2\n"
                      "MAX_THREADS_PER_PROCESS: 8\n"
                      "----------------------------------------\n"))
      << err_;
  EXPECT_TRUE(err_has("MAX_THREADS_PER_PROCESS = 8\n"));
  EXPECT_TRUE(err_has("Application level firewall (ALLOW_CLIENTS) is not set. Anybody can "
                      "connect to Velmor.\n"));
}

struct ModelCase {
  const char* model;  // nullptr: unset
  const char* kids;
  const char* shown;
};

TEST_F(StartupTest, ExecutionModelChoice) {
  const ModelCase cases[] = {
      {nullptr, "2", "PROCESS_POOL"},
      {"PROCESS_PER_USER", "2", "PROCESS_PER_USER"},
      {"PROCESS_PER_USERS", "2", "PROCESS_PER_USER"},
      {"process_per_user", "2", "PROCESS_POOL"},
      {"PROCESS_POOL", "2", "PROCESS_POOL"},
      // One process serves everybody.
      {"PROCESS_PER_USER", "1", "PROCESS_POOL"},
  };
  for (const ModelCase& c : cases) {
    SCOPED_TRACE(std::string(c.model ? c.model : "(unset)") + " with " + c.kids);
    Env e = env();
    if (c.model) e["EXECUTION_MODEL"] = c.model;
    e["MAX_PROCESSES"] = c.kids;
    EXPECT_EQ(run(e, {"-t"}), 0);
    EXPECT_TRUE(err_has(std::string("EXECUTION_MODEL: ") + c.shown + "\n")) << err_;
  }
}

struct CountCase {
  const char* variable;
  const char* value;  // nullptr: unset
  const char* message;
  const char* summary;
};

TEST_F(StartupTest, ProcessAndThreadCounts) {
  const CountCase cases[] = {
      {"MAX_PROCESSES", nullptr, "MAX_PROCESSES is not set, defaults to 4.\n", "MAX_PROCESSES: 4\n"},
      {"MAX_PROCESSES", "abc", "MAX_PROCESSES is not a valid value. defaults to 1.\n",
       "MAX_PROCESSES: 1\n"},
      {"MAX_PROCESSES", "0", "MAX_PROCESSES is not a valid value. defaults to 1.\n",
       "MAX_PROCESSES: 1\n"},
      {"MAX_PROCESSES", "-3", "MAX_PROCESSES is not a valid value. defaults to 1.\n",
       "MAX_PROCESSES: 1\n"},
      {"MAX_PROCESSES", "3", "", "MAX_PROCESSES: 3\n"},
      {"MAX_THREADS_PER_PROCESS", nullptr, "MAX_THREADS_PER_PROCESS is not defined, defaults to 512\n",
       "MAX_THREADS_PER_PROCESS: 512\n"},
      {"MAX_THREADS_PER_PROCESS", "0", "MAX_THREADS_PER_PROCESS = 0\n", "MAX_THREADS_PER_PROCESS: 0\n"},
  };
  for (const CountCase& c : cases) {
    SCOPED_TRACE(std::string(c.variable) + "=" + (c.value ? c.value : "(unset)"));
    Env e = env();
    if (c.value)
      e[c.variable] = c.value;
    else
      e.erase(c.variable);
    EXPECT_EQ(run(e, {"-t"}), 0);
    EXPECT_TRUE(err_has(c.message)) << err_;
    EXPECT_TRUE(err_has(c.summary)) << err_;
  }
}

TEST_F(StartupTest, DirectoryDefaults) {
  // Run in a directory that has what the defaults point at.
  velmor_test::write_file(dir_.file("system.info"), "# not used\n");
  Env e = env();
  e.erase("VELMOR_BIN_DIR");
  e.erase("VELMOR_LOG_DIR");
  EXPECT_EQ(run(e, {"-t"}), 0);
  EXPECT_TRUE(err_has("VELMOR_BIN_DIR is not set, defaults to './'\n")) << err_;
  EXPECT_TRUE(err_has("VELMOR_LOG_DIR is not set, defaults to './log/'\n")) << err_;
  struct stat st;
  EXPECT_EQ(stat(dir_.file("log/ping").c_str(), &st), 0);
}

TEST_F(StartupTest, UnusableDirectories) {
  Env no_info = env();
  no_info["VELMOR_BIN_DIR"] = dir_.file("nowhere");
  EXPECT_EQ(run(no_info, {"-t"}), 1);
  EXPECT_TRUE(err_has("File (" + dir_.file("nowhere") +
                      "/system.info) is not available. Please contact support\n"))
      << err_;

  // A missing directory: root may write anywhere, so permissions prove nothing here.
  Env no_log = env();
  no_log["VELMOR_LOG_DIR"] = dir_.file("no/such/dir");
  EXPECT_EQ(run(no_log, {"-t"}), 1);
  EXPECT_TRUE(err_has("Directory (" + dir_.file("no/such/dir") +
                      ") is not available or accessible (don't have write permission). Please "
                      "contact support\n"))
      << err_;
}

TEST_F(StartupTest, OverlongDirectoriesEndTheProgram) {
  Env long_log = env();
  long_log["VELMOR_LOG_DIR"] = "/" + std::string(600, 'l');
  EXPECT_EQ(run(long_log, {"-t"}), 1);
  EXPECT_TRUE(err_has("Not enough space (available 512) to strcpy /" + std::string(600, 'l') +
                      "\nSorry, exiting ...\n"))
      << err_;

  Env long_bin = env();
  long_bin["VELMOR_BIN_DIR"] = "/" + std::string(504, 'b');  // 505 characters
  EXPECT_EQ(run(long_bin, {"-t"}), 1);
  EXPECT_TRUE(err_has("Not enough space (available 512, used 506) to strcat system.info\n"
                      "Sorry, exiting ...\n"))
      << err_;
}

TEST_F(StartupTest, AddressFilterAtStartup) {
  Env good = env();
  good["ALLOW_CLIENTS"] = "10.0.0.0/255.0.0.0 172.16.0.0/255.240.0.0";
  EXPECT_EQ(run(good, {"-t"}), 0);
  const std::string rule(80, '-');
  EXPECT_TRUE(out_has(rule + "\nValid Network Address / Mask\n" + rule +
                      "\n10.0.0.0 / 255.0.0.0 \n172.16.0.0 / 255.240.0.0 \n" + rule + "\n"))
      << out_;
  EXPECT_FALSE(err_has("ALLOW_CLIENTS) is not set"));

  Env bad = env();
  bad["ALLOW_CLIENTS"] = "10.0.0.0/255.0.0.0 192.168.1.0";
  EXPECT_EQ(run(bad, {"-t"}), 1);
  EXPECT_TRUE(err_has("192.168.1.0")) << err_;
  EXPECT_FALSE(out_has("Test completed"));
}

}  // namespace
