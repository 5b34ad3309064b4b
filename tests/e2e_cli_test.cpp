// The velmor_client command against a real Velmord: output, errors and exit status.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "e2e_support.h"

namespace {

struct ClientRun {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs velmor_client with words (no shell quoting: the words are plain), bounded by timeout(1).
ClientRun run_client(const std::string& root, const std::string& words) {
  std::string out_file = root + "/client.out", err_file = root + "/client.err";
  std::string command = "timeout 60 " + std::string(VELMOR_BUILD_DIR) + "/bin/velmor_client " +
                        words + " >" + out_file + " 2>" + err_file;
  ClientRun r;
  int rc = system(command.c_str());
  r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  for (auto* target : {&r.out, &r.err}) {
    FILE* f = fopen(target == &r.out ? out_file.c_str() : err_file.c_str(), "r");
    char buffer[4096];
    size_t n;
    while (f && (n = fread(buffer, 1, sizeof buffer, f)) > 0) target->append(buffer, n);
    if (f) fclose(f);
  }
  return r;
}

class Cli : public ::testing::Test {
 protected:
  void SetUp() override {
    ServerProcess::Options o;
    o.defs = {"sample_threads", "sample_streams"};
    ASSERT_TRUE(server_.prepare(o));
    ASSERT_TRUE(server_.start()) << server_.log();
  }
  std::string with_server(const std::string& words) {
    return "-p " + std::to_string(server_.port()) + " --defs " + server_.def_path("sample_threads") +
           " --defs " + server_.def_path("sample_streams") + " " + words;
  }
  ServerProcess server_;
};

TEST_F(Cli, CallsPrintResultsAndErrorsAreOneLine) {
  struct Case {
    std::string words;
    int status;
    const char* out;       // exact standard output, or null
    const char* err_part;  // part of the one error line, or null
  } cases[] = {
      {with_server("call sample_threads range_average [1,2,6]"), 0, "3\n", nullptr},
      {with_server("call sample_threads reverse_range_passby_reference 1,2,3"), 0,
       "values = [3,2,1]\n3\n", nullptr},
      {with_server("call sample_threads reverse_range_returns_array [1,2,3] 3"), 0, "[3,2,1]\n", nullptr},
      // Typed from the server's catalogue: it generated the stubs at this start.
      {"-p " + std::to_string(server_.port()) + " call sample_threads range_average [2,4]", 0, "3\n",
       nullptr},
      {with_server("-n 2 call sample_streams show_elapsed 1 5"), 0, "0\n1\n", nullptr},
      {with_server("call sample_threads range_average"), 1, "",
       "range_average takes 1 argument(s), 0 given"},
      {with_server("call sample_threads range_average [1,x]"), 1, "",
       "argument 1 (values): 'x' is not a number"},
      {with_server("call sample_threads reverse_range_returns_array [1] many"), 1, "",
       "argument 2 (count): 'many' is not a whole number"},
      {with_server("call sample_threads reverse_range_returns_array [1] ' '"), 1, "",
       "argument 2 (count): ' ' is not a whole number"},
      // Every digit the server sent.
      {with_server("call sample_threads range_average [0.1,0.2]"), 0, "0.15000000000000002\n", nullptr},
      {with_server("--stamp stale call sample_threads range_average 1"), 3, "",
       "module sample_threads is out of date"},
      {with_server("call no_such_module f 1"), 1, "", "module no_such_module is not loaded"},
      {with_server("call sample_threads no_such_function 1"), 1, "",
       "module sample_threads declares no function no_such_function"},
      {"-p " + std::to_string(free_loopback_port()) + " modules", 1, "", "cannot connect to the server"},
      {"--bogus modules", 2, "", "unknown option --bogus"},
  };
  for (const Case& c : cases) {
    ClientRun r = run_client(server_.root(), c.words);
    EXPECT_EQ(r.status, c.status) << c.words << "\n" << r.err;
    if (c.out) {
      EXPECT_EQ(r.out, c.out) << c.words << "\n" << r.err;
    }
    if (c.err_part) {
      EXPECT_NE(r.err.find(c.err_part), std::string::npos) << c.words << "\n" << r.err;
      EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line expected: " << r.err;
    }
  }
}

TEST_F(Cli, CatalogueCommandsAndHelp) {
  ClientRun modules = run_client(server_.root(), with_server("modules"));
  EXPECT_EQ(modules.status, 0) << modules.err;
  EXPECT_EQ(modules.out, "sample_streams\nsample_threads\n");

  ClientRun vba = run_client(server_.root(), with_server("vba sample_threads"));
  EXPECT_EQ(vba.status, 0) << vba.err;
  EXPECT_NE(vba.out.find("Function range_average ("), std::string::npos) << vba.out;

  ClientRun formulae = run_client(server_.root(), with_server("formulae sample_threads"));
  EXPECT_EQ(formulae.status, 0) << formulae.err;
  EXPECT_EQ(formulae.out.find("sample_threads.SPREAD(values) = "), 0u) << formulae.out;

  ClientRun generators = run_client(server_.root(), with_server("generators sample_streams"));
  EXPECT_EQ(generators.status, 0) << generators.err;
  EXPECT_EQ(generators.out.find("sample_streams.CLOCK = "), 0u) << generators.out;

  ClientRun defs = run_client(server_.root(), with_server("definitions sample_threads"));
  EXPECT_EQ(defs.status, 0) << defs.err;
  EXPECT_NE(defs.out.find("1~double range_average (VECTOR<double> values)\n"), std::string::npos);

  ClientRun describe = run_client(server_.root(), with_server("describe sample_streams jumping_array"));
  EXPECT_EQ(describe.out, "stream double[] jumping_array (int interval, int duration)\n");

  ClientRun stamp = run_client(server_.root(), with_server("stamp sample_threads"));
  EXPECT_EQ(stamp.status, 0) << stamp.err;
  EXPECT_NE(vba.out.find("last_updated_time  as string = \"" + stamp.out.substr(0, stamp.out.size() - 1)),
            std::string::npos);

  ClientRun file = run_client(server_.root(), with_server("module-file sample_streams 1"));
  EXPECT_EQ(file.status, 0) << file.err;
  EXPECT_EQ(file.out.find("Attribute VB_Name = \"clock_sheet\"\n"), 0u) << file.out;

  ClientRun help = run_client(server_.root(), "--help");
  EXPECT_EQ(help.status, 0);
  for (const char* part : {"call MODULE FUNCTION", "--defs FILE", "array of records", "Exit status"})
    EXPECT_NE(help.out.find(part), std::string::npos) << part;
}

TEST_F(Cli, InterruptStopsAStreamAndExits130) {
  std::string out_file = server_.root() + "/stream.out";
  std::string port = std::to_string(server_.port());
  std::string defs = server_.def_path("sample_streams");
  pid_t pid = fork();
  if (pid == 0) {
    if (freopen(out_file.c_str(), "w", stdout) == nullptr) _exit(127);
    std::string client = std::string(VELMOR_BUILD_DIR) + "/bin/velmor_client";
    execl(client.c_str(), client.c_str(), "-p", port.c_str(), "--defs", defs.c_str(), "call",
          "sample_streams", "show_time", "1", "600", static_cast<char*>(nullptr));
    _exit(127);
  }
  ASSERT_GT(pid, 0);
  // Wait (bounded) for the first clock reading, then interrupt.
  std::string text;
  for (int i = 0; i < 200 && text.find('\n') == std::string::npos; i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::ifstream in(out_file);
    std::stringstream s;
    s << in.rdbuf();
    text = s.str();
  }
  kill(pid, SIGINT);
  int status = 0;
  pid_t done = 0;
  for (int i = 0; i < 200 && done == 0; i++) {
    done = waitpid(pid, &status, WNOHANG);
    if (done == 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (done == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  EXPECT_NE(text.find(':'), std::string::npos) << text;
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 130);

  ClientRun after = run_client(server_.root(), with_server("call sample_threads range_average [5,7]"));
  EXPECT_EQ(after.out, "6\n") << after.err;
}

}  // namespace
