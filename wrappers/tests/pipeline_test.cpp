// The build pipeline on a temporary wrapper directory: the regeneration
// test, "system.info" look-ups, the compile command, the symbol map and its
// reading back.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <utime.h>

#include <string>

#include "mangled_list.h"
#include "system_info.h"
#include "test_support.h"
#include "wrapper_interface.h"
#include "wrapper_reader.h"

namespace {

class PipelineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("VELMOR_LOG_DIR", wrapper_dir.path().c_str(), 1);
    setenv("VELMOR_BIN_DIR", bin_dir.path().c_str(), 1);
    settle_wrapper_directory();
  }
  void system_info(const std::string& text) { write_file(bin_dir.file("system.info"), text); }

  TempDir wrapper_dir;
  TempDir bin_dir;
};

void set_mtime(const std::string& path, time_t t) {
  struct utimbuf times = {t, t};
  ASSERT_EQ(utime(path.c_str(), &times), 0) << path;
}

TEST_F(PipelineTest, RegeneratesUnlessTheStubLibraryIsNewer) {
  const time_t t1 = 1700000000;
  const std::string def = wrapper_dir.file("payroll.v2.def");
  const std::string so = wrapper_dir.path() + "/payroll.so";  // module name: up to the first dot
  write_file(def, "");
  set_mtime(def, t1);
  const struct {
    bool library;
    time_t library_time;
    int expected;
  } cases[] = {{false, 0, 1}, {true, t1, 1}, {true, t1 + 1, 0}, {true, t1 - 5, 1}};
  for (const auto& c : cases) {
    unlink(so.c_str());
    if (c.library) {
      write_file(so, "");
      set_mtime(so, c.library_time);
    }
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(need_to_generate_wrapper(def.c_str()), c.expected) << c.library_time;
    time_t shown = c.library ? c.library_time : t1;
    std::string expected = "formula_file: " + def + " & time = " + std::to_string(t1) +
                           "  & object_file: " + so + " & time = " + std::to_string(shown) + "\n";
    if (c.expected == 0) expected += "No need to generate object file\n";
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), expected);
  }
  EXPECT_EQ(need_to_generate_wrapper(wrapper_dir.file("missing.def").c_str()), 1);
}

TEST_F(PipelineTest, ModuleNameIsTheBaseNameUpToItsFirstDot) {
  const struct {
    const char* path;
    const char* module;
  } cases[] = {{"defs/payroll.def", "payroll"}, {"./payroll.def", "payroll"}, {"./rev.2/payroll.def", "payroll"},
               {"payroll.v2.def", "payroll"},   {"payroll", "payroll"},     {"a/.hidden.def", ".hidden"}};
  char module[600];
  for (const auto& c : cases) {
    ASSERT_EQ(module_name_of(c.path, module, sizeof(module)), 1) << c.path;
    EXPECT_STREQ(module, c.module) << c.path;
  }
  std::string too_long(516, 'a');
  EXPECT_EQ(module_name_of(too_long.c_str(), module, sizeof(module)), 0);
  EXPECT_EQ(module_name_of(std::string(515, 'a').c_str(), module, sizeof(module)), 1);
}

TEST_F(PipelineTest, SystemInfoLookUp) {
  const struct {
    const char* file;
    const char* key;
    const char* value;  // NULL: not found
  } cases[] = {
      {"LINUX-CC=cc %s\n", "LINUX-CC", "cc %s"},
      {"LINUX-CC cc %s\n", "LINUX-CC", "cc %s"},
      {"LINUX-CCX one\nLINUX-CC two\n", "LINUX-CC", " one"},  // "X" is the separator
      {"LINUX-CC cc %s\r\n", "LINUX-CC", "cc %s\r"},
      {"LINUX-CC cc", "LINUX-CC", "cc"},
      {"OTHER x\n", "LINUX-CC", NULL},
      {"LINUX-NM-MANGLED a\nLINUX-NM-DEMANGLED b\n", "LINUX-NM-DEMANGLED", "b"},
  };
  for (const auto& c : cases) {
    system_info(c.file);
    char buffer[1024];
    const char* value = get_compiler_command(c.key, buffer);
    if (c.value == NULL)
      EXPECT_EQ(value, nullptr) << c.file;
    else
      EXPECT_STREQ(value, c.value) << c.file;
  }
  unlink(bin_dir.file("system.info").c_str());
  ::testing::internal::CaptureStderr();
  char buffer[1024];
  EXPECT_EQ(get_compiler_command("LINUX-CC", buffer), nullptr);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Unable to open " + bin_dir.path() + "/system.info file\n");
}

TEST_F(PipelineTest, CompileCommandFillsBothPlaceholders) {
  const std::string out = wrapper_dir.file("mod");
  system_info("LINUX-CC touch %s.so %s.marker\n");
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(compile_shared_object_file(out.c_str()), 1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "THE COMPILE COMMAND is touch " + out + ".so " + out + ".marker\n");
  EXPECT_TRUE(file_exists(out + ".so") && file_exists(out + ".marker"));

  const std::string odd = wrapper_dir.file("a b;touch x");
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(compile_shared_object_file(odd.c_str()), 1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "THE COMPILE COMMAND is touch '" + odd + "'.so '" + odd + "'.marker\n");
  EXPECT_TRUE(file_exists(odd + ".so"));
  EXPECT_FALSE(file_exists("x"));

  system_info("LINUX-CC false %s\n");
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(compile_shared_object_file(out.c_str()), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "compiler command: false " + out + " failed!\n");

  system_info("LINUX-NM-MANGLED x\n");
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(compile_shared_object_file(out.c_str()), 0);
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("add an entry for LINUX-CC"), std::string::npos);
}

TEST_F(PipelineTest, SymbolMapAndItsReadingBack) {
  // The "library" is a text file of mangled|demangled lines that the
  // configured listers cut apart.
  system_info("LINUX-NM-MANGLED cut -d'|' -f1 %s\nLINUX-NM-DEMANGLED cut -d'|' -f2 %s\n");
  // A path that is no plain shell word still reaches the lister as one word.
  const std::string lib = wrapper_dir.file("lib fake's;.so");
  write_file(lib,
             "_Z7averagePdi|double average(double*, int)\n"
             "_Z5scaleRSt6vectorIdEd|scale(std::vector<double>&, double)\n"
             "plain_c|plain_c\n"
             "_Z7averagePdi_2|int average(double*)\n");
  char map_path[WRAPPER_PATH_SIZE + 1];
  map_info_path(map_path);
  ASSERT_EQ(empty_map_info(map_path), 1);
  ASSERT_EQ(map_mangled_demangled((char*)lib.c_str()), 1);
  EXPECT_EQ(read_file(map_path), lib + "~_Z7averagePdi~average(double*, int)~\n" +
                                     lib + "~_Z5scaleRSt6vectorIdEd~scale(std::vector<double>&, double)~\n" +
                                     lib + "~plain_c~plain_c~\n" +
                                     lib + "~_Z7averagePdi_2~average(double*)~\n");

  ::testing::internal::CaptureStderr();
  EXPECT_EQ(map_mangled_demangled((char*)"/nonexistent/lib.so"), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "shared object file /nonexistent/lib.so is MISSING... please check it out.\n");

  static MangledList list;  // its records are never freed, like the server's
  list.load(map_path);
  MangledInfo* average = list.find((char*)"average");
  ASSERT_NE(average, nullptr);
  EXPECT_STREQ(average->GetMangledFunction(), "_Z7averagePdi_2");  // the last line listed wins
  EXPECT_STREQ(average->GetFile(), lib.c_str());
  ASSERT_NE(list.find((char*)"scale"), nullptr);
  MangledInfo* plain_c = list.find((char*)"plain_c");  // C linkage: its own name
  ASSERT_NE(plain_c, nullptr);
  EXPECT_STREQ(plain_c->GetMangledFunction(), "plain_c");
  EXPECT_EQ(list.find((char*)"Average"), nullptr);
}

// A C++ function keeps its binding beside a C function of the same plain name,
// whichever is listed last; versioned symbols bind under the loader's name.
TEST_F(PipelineTest, CppSymbolsComeBeforeCSymbolsOfTheSameName) {
  const std::string map = wrapper_dir.file("map.info");
  write_file(map,
             "/l/a.so~_Z5twiced~twice(double)~\n"
             "/l/b.so~twice~twice~\n"
             "/l/b.so~cbrt@@GLIBC_2.2.5~cbrt@@GLIBC_2.2.5~\n"
             "/l/b.so~old@GLIBC_2.0~old@GLIBC_2.0~\n"
             "/l/b.so~_Z3newi@@V2~new(int)@@V2~\n"
             "/l/b.so~thrice~thrice~\n"
             "/l/a.so~_Z6thriced~thrice(double)~\n");
  static MangledList list;
  list.load((char*)map.c_str());
  const struct {
    const char* name;
    const char* file;
    const char* symbol;
  } cases[] = {{"twice", "/l/a.so", "_Z5twiced"}, {"thrice", "/l/a.so", "_Z6thriced"},
               {"cbrt", "/l/b.so", "cbrt"},        {"new", "/l/b.so", "_Z3newi"}};
  for (const auto& c : cases) {
    MangledInfo* info = list.find((char*)c.name);
    ASSERT_NE(info, nullptr) << c.name;
    EXPECT_STREQ(info->GetFile(), c.file) << c.name;
    EXPECT_STREQ(info->GetMangledFunction(), c.symbol) << c.name;
  }
  // Only an older version: the loader would not bind it by name.
  EXPECT_EQ(list.find((char*)"old"), nullptr);
}

// Readable forms far longer than any line buffer are taken whole, so the
// listings stay paired and every symbol keeps its own function.
TEST_F(PipelineTest, LongReadableFormsKeepThePairing) {
  system_info("LINUX-NM-MANGLED cut -d'|' -f1 %s\nLINUX-NM-DEMANGLED cut -d'|' -f2 %s\n");
  const std::string lib = wrapper_dir.file("libfake.so");
  const std::string long_form = "huge(" + std::string(3000, 'x') + ")";
  write_file(lib, "_Z4hugev|" + long_form + "\n_Z5firsti|first(int)\n_Z4huge2v|" + long_form +
                      "\n_Z6secondi|second(int)\n");
  char map_path[WRAPPER_PATH_SIZE + 1];
  map_info_path(map_path);
  ASSERT_EQ(empty_map_info(map_path), 1);
  ASSERT_EQ(map_mangled_demangled((char*)lib.c_str()), 1);
  EXPECT_EQ(read_file(map_path), lib + "~_Z4hugev~" + long_form + "~\n" + lib + "~_Z5firsti~first(int)~\n" +
                                     lib + "~_Z4huge2v~" + long_form + "~\n" + lib +
                                     "~_Z6secondi~second(int)~\n");
  static MangledList list;
  list.load(map_path);
  const struct {
    const char* name;
    const char* symbol;
  } cases[] = {{"first", "_Z5firsti"}, {"second", "_Z6secondi"}, {"huge", "_Z4huge2v"}};
  for (const auto& c : cases) {
    MangledInfo* info = list.find((char*)c.name);
    ASSERT_NE(info, nullptr) << c.name;
    EXPECT_STREQ(info->GetMangledFunction(), c.symbol) << c.name;
  }
  // A line that is not a record of its own never becomes one.
  EXPECT_EQ(list.find((char*)std::string(3000, 'x').c_str()), nullptr);
}

TEST_F(PipelineTest, ListingThatEndsEarlyLeavesAnOpenLine) {
  system_info("LINUX-NM-MANGLED cat %s\nLINUX-NM-DEMANGLED head -n 1 %s\n");
  const std::string lib = wrapper_dir.file("lib.so");
  write_file(lib, "a(int)\nb(int)\n");
  char map_path[WRAPPER_PATH_SIZE + 1];
  map_info_path(map_path);
  ASSERT_EQ(map_mangled_demangled((char*)lib.c_str()), 1);
  EXPECT_EQ(read_file(map_path), lib + "~a(int)~a(int)~\n" + lib + "~b(int)~");
}

TEST_F(PipelineTest, WrapperInterfaceWithoutDefinitionFile) {
  system_info("LINUX-CC true\n");
  write_file(wrapper_dir.file("map.info"), "old contents\n");
  ::testing::internal::CaptureStderr();
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(wrapper_interface((char*)wrapper_dir.file("absent.def").c_str()), 1);
  ::testing::internal::GetCapturedStdout();
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("generate_wrapper: formula file " + wrapper_dir.file("absent.def") +
                     " does not exists or unable to open!\n"),
            std::string::npos)
      << err;
  EXPECT_EQ(read_file(wrapper_dir.file("map.info")), "");  // emptied for each file

  setenv("VELMOR_LOG_DIR", (wrapper_dir.path() + "/no/such/dir").c_str(), 1);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(wrapper_interface((char*)"x.def"), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "unable to open " + wrapper_dir.path() + "/no/such/dir/map.info for writing\n");
}

TEST_F(PipelineTest, OverlongDirectoryEndsTheProgram) {
  setenv("VELMOR_LOG_DIR", std::string(513, 'd').c_str(), 1);
  EXPECT_EXIT(wrapper_interface((char*)"x.def"), ::testing::ExitedWithCode(1),
              "Not enough space \\(available 512\\) to strcpy d+\nSorry, exiting ...\n");
  setenv("VELMOR_LOG_DIR", std::string(510, 'd').c_str(), 1);
  EXPECT_EXIT(wrapper_interface((char*)"x.def"), ::testing::ExitedWithCode(1),
              "Not enough space \\(available 512, used 511\\) to strcat map.info\nSorry, exiting ...\n");
  setenv("VELMOR_LOG_DIR", std::string(512, 'd').c_str(), 1);
  EXPECT_EXIT(wrapper_interface((char*)"x.def"), ::testing::ExitedWithCode(1),
              "Not enough space \\(available 512, used 512\\) to strcat /\nSorry, exiting ...\n");
}

}  // namespace
