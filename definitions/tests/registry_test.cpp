// The function registry: modules and their time stamps, execution types,
// entry point look-up on a real stub library, the configuration listing and
// the start-up trace.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "df_interface.h"
#include "formula_manager.h"
#include "tarrow.h"
#include "test_files.h"
#include "wrapper_directory.h"
#include "wrapper_reader.h"

namespace {

const long kStamp = 1700000000;  // 14 Nov 2023 22:13:20 UTC
const char kStampText[] = "14 Nov 2023 22:13:20 GMT";

void SetTime(const std::string& path, long seconds, bool link_itself = false) {
  struct timeval times[2] = {{seconds, 0}, {seconds, 0}};
  int rc = link_itself ? lutimes(path.c_str(), times) : utimes(path.c_str(), times);
  ASSERT_EQ(0, rc) << path;
}

int Load(const std::string& path) {
  testing::internal::CaptureStdout();
  int rc = FS.load_formulae(const_cast<char*>(path.c_str()));
  testing::internal::GetCapturedStdout();
  return rc;
}

std::string TimeStamp(const char* module) {
  char out[TIME_STAMP_SIZE] = "untouched";
  int n = FS.GetProtoTimeStamp(const_cast<char*>(module), out);
  EXPECT_EQ(n, n > 0 ? (int)strlen(out) : 0);
  return out;
}

// Each test starts with the modules that were there before it; the ones it
// loaded stay reachable (the registry never frees), but out of the way.
class Registry : public testing::Test {
 protected:
  void SetUp() override {
    before_ = FS.fm_list;
    log_before_ = debug_log_path;
  }
  void TearDown() override {
    debug_log_path = log_before_;
    // Never destroyed, so still reachable when the leak check runs at exit.
    static std::vector<FormulaManager*>* retired = new std::vector<FormulaManager*>;
    retired->push_back(FS.fm_list);
    FS.fm_list = before_;
  }

  TempDir dir_;
  FormulaManager* before_ = nullptr;
  const char* log_before_ = nullptr;
};

TEST_F(Registry, ModuleNamesAndTimeStamps) {
  ASSERT_EQ(0, mkdir((dir_.path() + "/rev.2").c_str(), 0700));
  std::string file = dir_.Write("rev.2/pay.roll.def", "FORMULAE { A = 1; }\n");
  SetTime(file, kStamp);
  ASSERT_EQ(1, Load(file));
  EXPECT_STREQ("pay", FS.fm_list->formula_name);
  EXPECT_EQ(file, FS.fm_list->protofile_name);

  EXPECT_EQ(kStampText, TimeStamp("PAY"));
  EXPECT_EQ(1, FS.IsProtoConsistent(const_cast<char*>("Pay"), const_cast<char*>("14 nov 2023 22:13:20 gmt")));
  EXPECT_EQ(0, FS.IsProtoConsistent(const_cast<char*>("pay"), const_cast<char*>("14 Nov 2023 22:13:21 GMT")));
  EXPECT_EQ(0, FS.IsProtoConsistent(const_cast<char*>("nope"), const_cast<char*>(kStampText)));
  EXPECT_EQ("untouched", TimeStamp("nope"));

  // The same base name again: both are kept, look-ups find the newer.
  std::string again = dir_.Write("pay.def", "");
  SetTime(again, kStamp + 3600);
  ASSERT_EQ(1, Load(again));
  EXPECT_EQ("14 Nov 2023 23:13:20 GMT", TimeStamp("pay"));
  ASSERT_NE(nullptr, FS.fm_list->next);
  EXPECT_STREQ("pay", FS.fm_list->next->formula_name);

  // A symbolic link is stamped with its own time.
  std::string link = dir_.path() + "/linked.def";
  ASSERT_EQ(0, symlink(again.c_str(), link.c_str()));
  SetTime(link, kStamp - 86400, true);
  ASSERT_EQ(1, Load(link));
  EXPECT_EQ("13 Nov 2023 22:13:20 GMT", TimeStamp("linked"));

  testing::internal::CaptureStderr();
  EXPECT_EQ(0, Load(dir_.path() + "/missing.def"));
  EXPECT_EQ("Oops! unable to open formula file `" + dir_.path() + "/missing.def'\n",
            testing::internal::GetCapturedStderr());
}

TEST_F(Registry, ExecutionTypes) {
  ASSERT_EQ(1, Load(dir_.Write("kinds.def",
                               "STREAMS { int both (ExcelChannel<int> c); int live (ExcelChannel<int> c); }\n"
                               "THREADS { int both (); }\n"
                               "FUNCTIONS { double * arr (); double plain (); }\n")));
  EXPECT_EQ(EXECUTE_AS_THREAD, FS.find_execution_type(const_cast<char*>("both")));
  EXPECT_EQ(EXECUTE_AS_LIVE_THREAD, FS.find_execution_type(const_cast<char*>("live")));
  EXPECT_EQ(EXECUTE_AS_FUNCTION, FS.find_execution_type(const_cast<char*>("plain")));
  EXPECT_EQ(EXECUTE_AS_FUNCTION, FS.find_execution_type(const_cast<char*>("Both")));
  EXPECT_EQ(1, is_external_and_returns_array("arr"));
  EXPECT_EQ(0, is_external_and_returns_array("plain"));
  EXPECT_EQ(0, is_external_and_returns_array("live"));
  EXPECT_EQ(0, is_external_and_returns_array("nothing"));
}

void AddLibrary(const std::string& path) {
  Lib* lib = new Lib{strdup("some.def"), strdup(path.c_str()), nullptr};
  Lib** tail = &lstart;
  while (*tail != nullptr) tail = &(*tail)->next;
  *tail = lib;
}

// Every declared library is loaded before the stub libraries; one that
// cannot be loaded ends the start-up.
TEST_F(Registry, DeclaredLibrariesLoadFirst) {
  Lib** end = &lstart;  // where this test's libraries begin
  while (*end != nullptr) end = &(*end)->next;
  AddLibrary(std::string(REGISTRY_STUB_DIR) + "/registry_stub.so");
  testing::internal::CaptureStdout();
  EXPECT_EQ(1, FS.readConfiguration());
  EXPECT_EQ(std::string("Loading libraries defined within prototype file\n1.Loading library : ") +
                REGISTRY_STUB_DIR + "/registry_stub.so\n",
            testing::internal::GetCapturedStdout());
  AddLibrary(dir_.path() + "/missing.so");
  EXPECT_EXIT(FS.readConfiguration(), testing::ExitedWithCode(1), "missing.so");

  // Detach this test's libraries, keeping them reachable.
  static std::vector<Lib*>* kept = new std::vector<Lib*>;
  kept->push_back(*end);
  *end = nullptr;
}

// Two modules may declare one name differently; each keeps its own kind.
TEST_F(Registry, ExecutionTypePerModule) {
  ASSERT_EQ(1, Load(dir_.Write("plain.def", "FUNCTIONS { double avg (VECTOR<double> v); }\n")));
  ASSERT_EQ(1, Load(dir_.Write("async.def", "THREADS { double avg (VECTOR<double> v); }\n")));
  EXPECT_EQ(EXECUTE_AS_FUNCTION,
            FS.find_execution_type(const_cast<char*>("PLAIN"), const_cast<char*>("avg")));
  EXPECT_EQ(EXECUTE_AS_THREAD,
            FS.find_execution_type(const_cast<char*>("async"), const_cast<char*>("avg")));
  // Without a known module the name is looked up over all files.
  EXPECT_EQ(EXECUTE_AS_THREAD,
            FS.find_execution_type(const_cast<char*>("nope"), const_cast<char*>("avg")));
  EXPECT_EQ(EXECUTE_AS_THREAD, FS.find_execution_type(const_cast<char*>("avg")));
}

class LoadedStub : public Registry {
 protected:
  void SetUp() override {
    Registry::SetUp();
    // The module name equals the stub library's, which lies in the test's
    // library directory.
    ASSERT_EQ(1, Load(dir_.Write("registry_stub.def",
                                 "FUNCTIONS { int range_average (VECTOR<double> v); int exit (int status); }\n")));
    wrapper_directory = const_cast<char*>(REGISTRY_STUB_DIR);
  }

  REMFUN Look(const char* module, const char* function, std::string* err) {
    testing::internal::CaptureStderr();
    REMFUN f = FS.getRemoteFunction(const_cast<char*>(module), const_cast<char*>(function));
    *err = testing::internal::GetCapturedStderr();
    return f;
  }
};

TEST_F(LoadedStub, EntryPointsOnlyFromTheStubItself) {
  std::string err;
  EXPECT_EQ(nullptr, Look("registry_stub", "range_average", &err));
  EXPECT_EQ("calling registry_stub.range_average\nregistry_stub module is not loaded.\n", err);

  testing::internal::CaptureStdout();
  ASSERT_EQ(1, FS.readConfiguration());
  EXPECT_EQ(std::string("Loading libraries defined within prototype file\n2.Loading library : ") +
                REGISTRY_STUB_DIR + "/registry_stub.so\n",
            testing::internal::GetCapturedStdout());

  REMFUN f = Look("REGISTRY_STUB", "range_average", &err);
  ASSERT_NE(nullptr, f);
  EXPECT_EQ(7, f(nullptr));

  // exit is declared, and dlsym finds it, but in the C library.
  EXPECT_EQ(nullptr, Look("registry_stub", "exit", &err));
  EXPECT_NE(std::string::npos, err.find("Error in loading function exit from module registry_stub, error:  "));
  // Not declared: neither a C library function nor a stray stub symbol.
  EXPECT_EQ(nullptr, Look("registry_stub", "system", &err));
  EXPECT_NE(std::string::npos, err.find("Error in loading function system"));
  // Declared, but by another module.
  ASSERT_EQ(1, Load(dir_.Write("other.def", "FUNCTIONS { int Undeclared (); }\n")));
  EXPECT_EQ(nullptr, Look("registry_stub", "Undeclared", &err));
  EXPECT_NE(std::string::npos, err.find("not declared in the module's prototype file"));
  EXPECT_EQ(nullptr, Look("registry_stub", "Range_average", &err));

  EXPECT_EQ(nullptr, Look("elsewhere", "range_average", &err));
  EXPECT_EQ("calling elsewhere.range_average\n"
            "Unable to find `elsewhere' module, most probably it is not loaded into Velmord.\n",
            err);
}

TEST_F(Registry, ConfigurationListing) {
  ASSERT_EQ(1, Load(dir_.Write("first.def", "FORMULAE { NET = A - B; EMPTY = ; }\n"
                                            "GENERATORS { G = 1; }\nMODULES { m.bas; }\n")));
  ASSERT_EQ(1, Load(dir_.Write("second.def", "MODULES { x.bas; }\n")));
  testing::internal::CaptureStdout();
  EXPECT_EQ(1, FS.printConfiguration());
  EXPECT_EQ("\n"
            "\n------- second ------\nformulae :\ngenerators :\nmodules :\n\tx.bas\n"
            "\n------- first ------\nformulae :\n\tNET\t=\tA - B\n\tEMPTY\t=\t\n"
            "generators :\n\tG\t=\t1\nmodules :\n\tm.bas\n",
            testing::internal::GetCapturedStdout());
}

TEST_F(Registry, MissingStubLibraryEndsStartUp) {
  std::string log = dir_.path() + "/trace.log";
  debug_log_path = log.c_str();
  std::string file = dir_.Write("absent.def", "FUNCTIONS { int f (); }\n");
  wrapper_directory = const_cast<char*>(dir_.path().c_str());
  EXPECT_EXIT(
      {
        Load(file);
        FS.readConfiguration();
      },
      testing::ExitedWithCode(1), "absent.so");
  EXPECT_NE(std::string::npos, ReadFile(log).find(dir_.path() + "/absent.so\n"));
}

TEST_F(Registry, DebugLogAppendsAndNeverFollowsALink) {
  std::string log = dir_.path() + "/trace.log";
  debug_log_path = log.c_str();
  debug("one");
  debug("two");
  EXPECT_EQ("one\ntwo\n", ReadFile(log));
  struct stat st;
  ASSERT_EQ(0, stat(log.c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);

  std::string target = dir_.Write("precious", "keep\n");
  std::string planted = dir_.path() + "/planted.log";
  ASSERT_EQ(0, symlink(target.c_str(), planted.c_str()));
  debug_log_path = planted.c_str();
  debug("attack");
  EXPECT_EQ("keep\n", ReadFile(target));
}

// The whole start-up in test mode prints the listing of printConfiguration.
TEST_F(Registry, VelmordTestModePrintsTheListing) {
  std::string file = dir_.Write("listing.def",
                                "FORMULAE { NET = SALARY - TAX; }\nGENERATORS { G = 1; }\n"
                                "MODULES { a.bas; b.bas; }\n");
  ASSERT_EQ(0, mkdir((dir_.path() + "/log").c_str(), 0700));
  std::string command = "cd '" + dir_.path() + "' && VELMOR_BIN_DIR='" VELMOR_BIN_DIR_PATH
                        "' VELMOR_LOG_DIR='" + dir_.path() + "/log' MAX_PROCESSES=1 "
                        "ASAN_OPTIONS=detect_leaks=0 timeout 120 '"
                        VELMORD_PATH "' -t listing.def 2>/dev/null";
  FILE* out = popen(command.c_str(), "r");
  ASSERT_NE(nullptr, out);
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), out)) > 0) text.append(buf, n);
  int status = pclose(out);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << text;
  EXPECT_NE(std::string::npos,
            text.find("\n\n------- listing ------\nformulae :\n\tNET\t=\tSALARY - TAX\n"
                      "generators :\n\tG\t=\t1\nmodules :\n\ta.bas\n\tb.bas\n"
                      "Test completed. Exiting...\n"))
      << text;
}

}  // namespace
