// The worker's command line and trace, without a parent task: start-up runs,
// then the first receive fails and the worker exits with status 0.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class WorkerCommandLine : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/velmor-pvm-cli-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { (void)!system(("rm -rf " + dir_).c_str()); }
  int run(const std::string& args) {
    std::string command = "cd " + dir_ + " && VELMOR_LOG_DIR=" + dir_ + " timeout 30 " +
                          VELMOR_BIN_DIR "/pvm_worker " + args + " >/dev/null 2>&1";
    int status = system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  // The trace without its time stamps.
  std::string trace(const std::string& name) {
    std::string text = read_file(dir_ + "/" + name), out;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
      size_t colon = line.find(": ");
      out += (colon == std::string::npos ? line : line.substr(colon + 2)) + "\n";
    }
    return out;
  }
  std::string dir_;
};

TEST_F(WorkerCommandLine, TraceOptionNamesTheFileAndIsItselfReportedAsAMissingFile) {
  EXPECT_EQ(run("-T trace.txt missing.def"), 0);
  std::string t = trace("trace.txt");
  // Messages that end in a line feed leave an empty line after them.
  EXPECT_EQ(t.find("-T\nfile (-T) not found, continuing with the rest\n\n"
                   "missing.def\nfile (missing.def) not found, continuing with the rest\n\n"
                   "before read configuration\nafter read configuration\n"),
            0u) << t;
  EXPECT_EQ(t.find("trace.txt\n"), std::string::npos) << "the trace file is no definition file";
  EXPECT_NE(t.find("pvm_pstat is not okay.. returned status = "), std::string::npos) << t;
}

TEST_F(WorkerCommandLine, LaterTraceOptionWinsAndNoOptionWritesNothing) {
  EXPECT_EQ(run("-trace first.txt -t second.txt"), 0);
  EXPECT_NE(trace("second.txt").find("after read configuration"), std::string::npos);
  EXPECT_EQ(read_file(dir_ + "/first.txt").find("after read configuration"), std::string::npos);

  (void)!system(("rm -f " + dir_ + "/*").c_str());
  EXPECT_EQ(run("missing.def"), 0);
  EXPECT_EQ(system(("test -z \"$(ls -A " + dir_ + ")\"").c_str()), 0) << "a file was written";
}

}  // namespace
