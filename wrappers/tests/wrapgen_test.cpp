// The wrapgen program: its command line, its messages and exit status, and
// whole runs over definition files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

struct WrapgenRun {
  int status;
  std::string out;
  std::string err;
};

// Runs wrapgen with the given arguments, VELMOR_LOG_DIR and VELMOR_BIN_DIR.
WrapgenRun run_wrapgen(const std::vector<std::string>& args, const std::string& log_dir, const std::string& bin_dir) {
  TempDir io;
  const std::string out_path = io.file("out"), err_path = io.file("err");
  pid_t pid = fork();
  if (pid == 0) {
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(out, 1);
    dup2(err, 2);
    setenv("VELMOR_LOG_DIR", log_dir.c_str(), 1);
    setenv("VELMOR_BIN_DIR", bin_dir.c_str(), 1);
    std::vector<char*> argv = {(char*)VELMOR_TEST_WRAPGEN};
    for (const std::string& a : args) argv.push_back((char*)a.c_str());
    argv.push_back(NULL);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_file(out_path), read_file(err_path)};
}

TEST(WrapgenTest, CommandLineAndDirectoryFailures) {
  TempDir dir;
  WrapgenRun none = run_wrapgen({}, dir.path(), VELMOR_TEST_BIN_DIR);
  EXPECT_EQ(none.status, 0);
  EXPECT_EQ(none.err, "wrapper_interface, no argument specified 1!\n");

  WrapgenRun missing_dir = run_wrapgen({"a.def"}, dir.file("none"), VELMOR_TEST_BIN_DIR);
  EXPECT_EQ(missing_dir.status, 0);
  EXPECT_EQ(missing_dir.err, "unable to open " + dir.file("none") + "/map.info for writing\n");
  EXPECT_EQ(missing_dir.out, "");

  WrapgenRun too_long = run_wrapgen({"a.def"}, std::string(600, 'x'), VELMOR_TEST_BIN_DIR);
  EXPECT_EQ(too_long.status, 1);
  EXPECT_EQ(too_long.err, "Not enough space (available 512) to strcpy " + std::string(600, 'x') +
                              "\nSorry, exiting ...\n");

  // A missing definition file is reported; the run goes on and succeeds.
  WrapgenRun absent = run_wrapgen({dir.file("absent.def")}, dir.path(), VELMOR_TEST_BIN_DIR);
  EXPECT_EQ(absent.status, 1);
  EXPECT_NE(absent.err.find("generate_wrapper: formula file " + dir.file("absent.def") +
                            " does not exists or unable to open!\n"),
            std::string::npos);
}

void age(const std::string& path, int seconds) {
  time_t t = time(NULL) - seconds;
  struct utimbuf times = {t, t};
  utime(path.c_str(), &times);
}

TEST(WrapgenTest, GeneratesCompilesAndSkipsWhatIsUpToDate) {
  if (!file_exists(VELMOR_TEST_SUPPORT_HEADER)) GTEST_SKIP() << "no " VELMOR_TEST_SUPPORT_HEADER " yet";
  TempDir dir;
  const std::string def = dir.file("payroll.v2.def");
  write_file(def, std::string("LIBRARIES {\n  ") + VELMOR_TEST_USERLIB +
                      ";\n}\nFUNCTIONS {\n  double average (const double * values, int count);\n"
                      "  int plain_c_function (int x);\n  int missing_function (int x);\n}\n");
  age(def, 10);
  WrapgenRun run = run_wrapgen({def, def}, dir.path(), VELMOR_TEST_BIN_DIR);
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_TRUE(file_exists(dir.file("payroll.bas")));
  EXPECT_TRUE(file_exists(dir.file("payroll.cpp")));
  EXPECT_TRUE(file_exists(dir.file("payroll.so"))) << run.out << run.err;
  // Once generated, the second occurrence finds its stub library newer.
  EXPECT_NE(run.out.find("No need to generate object file\n"), std::string::npos) << run.out;
  EXPECT_NE(read_file(dir.file("map.info")).find(std::string(VELMOR_TEST_USERLIB) + "~_Z7averagePdi~"),
            std::string::npos);
  // A C function is bound under its own name; a function that is not in the
  // library has no stub, and the rest builds.
  const std::string cpp = read_file(dir.file("payroll.cpp"));
  EXPECT_NE(cpp.find("dlsym (handle,\"plain_c_function\")"), std::string::npos) << cpp;
  EXPECT_EQ(run.err.find("function (plain_c_function) is NOT available"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("function (missing_function) is NOT available in the shared library"), std::string::npos);
  EXPECT_NE(cpp.find("int average(DataExchange *de) {\n"), std::string::npos);
  EXPECT_NE(read_file(dir.file("payroll.bas")).find("Function GetPort_payroll () as integer\n"), std::string::npos);
}

size_t count(const std::string& text, const std::string& piece) {
  size_t n = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) n++;
  return n;
}

TEST(WrapgenTest, FailedCompileDoesNotStopTheOtherFiles) {
  TempDir dir, bin;
  // The shipped symbol listers, and a compiler that always fails.
  std::string listers = read_file(std::string(VELMOR_TEST_BIN_DIR) + "/system.info");
  listers = listers.substr(listers.find("LINUX-NM-MANGLED"));
  write_file(bin.file("system.info"), "LINUX-CC false %s\n" + listers);
  const std::string libraries = std::string("LIBRARIES {\n  ") + VELMOR_TEST_USERLIB + ";\n}\n";
  write_file(dir.file("one.def"), libraries + "FUNCTIONS {\n  int f (int x);\n}\n");
  write_file(dir.file("two.def"), libraries + "FORMULAE {\n  a = b;\n}\n");
  WrapgenRun run = run_wrapgen({dir.file("one.def"), dir.file("two.def")}, dir.path(), bin.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("compiler command: false " + dir.file("one") + " failed!\n"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("compiler command: false " + dir.file("two") + " failed!\n"), std::string::npos) << run.err;
  // map.info is emptied once per run: both files' copies of the library are there.
  EXPECT_EQ(count(read_file(dir.file("map.info")), "~_Z7averagePdi~average(double*, int)~\n"), 2u);
  // A file without declarations still gets both frames.
  EXPECT_NE(read_file(dir.file("two.cpp")).find("#include \"wrapper_support.hxx\"\n\n"), std::string::npos);
  EXPECT_NE(read_file(dir.file("two.bas")).find("Private Function QVTX_UBound"), std::string::npos);
}

}  // namespace
