// The wrapper-side reader: libraries, declaration texts, per-run lists, and
// the module name of a definition file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_files.h"
#include "wrapper_reader.h"

namespace {

typedef std::vector<std::string> Strings;

class WrapperReader : public testing::Test {
 protected:
  std::string Read(const std::string& path, const std::string& module) {
    FILE* in = fopen(path.c_str(), "r");
    EXPECT_NE(nullptr, in);
    testing::internal::CaptureStdout();
    EXPECT_EQ(1, wp_read_file(in, path.c_str(), module.c_str()));
    fclose(in);
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
  }

  static Strings Names(Llist<ExternDefinition*>* list) {
    Strings names;
    for (; list != nullptr; list = list->next) names.push_back(list->data->name);
    return names;
  }

  // lstart and definitions are never emptied: a test looks only at what was
  // added since it began.
  void SetUp() override {
    for (Lib* l = lstart; l != nullptr; l = l->next) libraries_before_++;
    lines_before_ = definitions;
  }

  Strings Libraries() const {
    Strings out;
    size_t skip = libraries_before_;
    for (Lib* l = lstart; l != nullptr; l = l->next) {
      if (skip > 0) {
        skip--;
        continue;
      }
      out.push_back(std::string(l->file_at_work) + "|" + l->libname);
    }
    return out;
  }

  Strings Lines() const {
    Strings out;
    for (Llist<DefnLine*>* d = definitions; d != lines_before_; d = d->next) {
      out.push_back(std::to_string(d->data->type) + "|" + d->data->book + "|" + d->data->line);
    }
    return out;
  }

  TempDir dir_;
  size_t libraries_before_ = 0;
  Llist<DefnLine*>* lines_before_ = nullptr;
};

TEST_F(WrapperReader, RecordsLibrariesDeclarationsAndTheirTexts) {
  std::string first = dir_.Write("payroll.def",
                                 "LIBRARIES { ./lib/a.so ;\n  /opt/b.so; }\n"
                                 "TYPES { Employee (char * name,\n\tdouble pay); }\n"
                                 "FUNCTIONS { int f (int a\\,b); int g (); }\n"
                                 "THREADS { int t (); }\nSTREAMS { int s (ExcelChannel<int> c); }\n"
                                 "FORMULAE { A = 1; }\nMODULES { m.bas; }\n");
  EXPECT_EQ("", Read(first, "payroll"));
  // Relative library paths are taken beside the definition file.
  const std::string dir = dir_.path();
  EXPECT_EQ(Strings({first + "|" + dir + "/lib/a.so", first + "|/opt/b.so"}), Libraries());
  EXPECT_EQ(Strings({"Employee"}), Names(wp_ltype));
  EXPECT_EQ(Strings({"g", "f"}), Names(wp_lfun));
  EXPECT_EQ(Strings({"t"}), Names(wp_lthread));
  EXPECT_EQ(Strings({"s"}), Names(wp_llive_thread));
  // The parser gets the text unchanged; the recorded line has no backslash.
  EXPECT_STREQ("a,b", wp_lfun->next->data->prototype->data->tag);
  EXPECT_EQ(Strings({"3|payroll|int s (ExcelChannel<int> c)", "2|payroll|int t ()",
                     "1|payroll|int g ()", "1|payroll|int f (int a ,b)",
                     "0|payroll|Employee (char * name, double pay)"}),
            Lines());

  // A second file: declarations start afresh, libraries and lines grow.
  std::string second = dir_.Write("other.def", "LIBRARIES { c.so; }\nFUNCTIONS { int h (); }\n");
  Read(second, "other");
  EXPECT_EQ(Strings({"h"}), Names(wp_lfun));
  EXPECT_EQ(nullptr, wp_ltype);
  EXPECT_EQ(nullptr, wp_lthread);
  EXPECT_EQ(Strings({first + "|" + dir + "/lib/a.so", first + "|/opt/b.so", second + "|" + dir + "/c.so"}),
            Libraries());
  EXPECT_EQ(6u, Lines().size());
  EXPECT_EQ("1|other|int h ()", Lines().front());

  // Reading the same file again adds its libraries and lines again.
  Read(second, "other");
  EXPECT_EQ(4u, Libraries().size());
  EXPECT_EQ(7u, Lines().size());
}

TEST_F(WrapperReader, RejectedPrototypeKeepsItsLine) {
  std::string path = dir_.Write("bad.def",
                                "FUNCTIONS { int f (int x []); int ok (); }\n"
                                "STREAMS { int s (int a, ExcelChannel<int> c); }\n");
  testing::internal::CaptureStderr();
  std::string out = Read(path, "bad");
  testing::internal::GetCapturedStderr();
  EXPECT_NE(std::string::npos,
            out.find("wrapper_parser (1): PARSE ERROR in the prototype definition -> int f (int x [])\n"));
  EXPECT_NE(std::string::npos,
            out.find("wrapper_parser (2) PARSE ERROR in the prototype definition -> "
                     "int s (int a, ExcelChannel<int> c)\n"));
  EXPECT_EQ(Strings({"ok"}), Names(wp_lfun));
  EXPECT_EQ(nullptr, wp_llive_thread);
  EXPECT_EQ(3u, Lines().size());
}

TEST_F(WrapperReader, ModuleAndPathMustFitTheirFields) {
  std::string path = dir_.Write("x.def", "FUNCTIONS { int f (); }\n");
  Read(path, "x");
  FILE* in = fopen(path.c_str(), "r");
  testing::internal::CaptureStderr();
  EXPECT_EQ(0, wp_read_file(in, path.c_str(), std::string(128, 'm').c_str()));
  EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find("Not enough space"));
  fclose(in);
  EXPECT_EQ(nullptr, wp_lfun);
  EXPECT_EQ(1u, Lines().size());
}

// A library path that fits the file but not behind the file's directory ends
// the program, as every composed path that does not fit its buffer does.
TEST_F(WrapperReader, LibraryPathTooLongBehindTheDirectoryEndsTheProgram) {
  std::string entry(1023 - dir_.path().size(), 'x');
  std::string path = dir_.Write("long.def", "LIBRARIES { " + entry + "; }\n");
  // Not through Read: a capture opened in the dying child is never closed, and
  // its temporary file would stay behind.
  EXPECT_EXIT(
      {
        FILE* in = fopen(path.c_str(), "r");
        wp_read_file(in, path.c_str(), "long");
      },
      testing::ExitedWithCode(1),
      "Not enough space \\(available 1024, used [0-9]+\\) to strcat x+\nSorry, exiting ...\n");
}

TEST(ModuleName, OneRuleForEveryPath) {
  struct Case {
    std::string path;
    int result;
    const char* module;
  } cases[] = {
      {"defs/payroll.def", 1, "payroll"},
      {"./payroll.def", 1, "payroll"},
      {"payroll.v2.def", 1, "payroll"},
      // The directory never counts, so stub library and registry agree.
      {"./rev.2/payroll.def", 1, "payroll"},
      {"../defs/.hidden.def", 1, ".hidden"},
      {"noextension", 1, "noextension"},
      {"/" + std::string(514, 'a'), 1, nullptr},
      {"/" + std::string(515, 'a'), 0, nullptr},
  };
  for (const Case& c : cases) {
    char out[1024] = "untouched";
    EXPECT_EQ(c.result, module_name_of(c.path.c_str(), out, sizeof(out))) << c.path;
    if (c.module != nullptr) {
      EXPECT_STREQ(c.module, out) << c.path;
    }
  }
  char small[8];
  EXPECT_EQ(0, module_name_of("abcdefgh.def", small, sizeof(small)));
  EXPECT_EQ(1, module_name_of("abcdefg.def", small, sizeof(small)));
  EXPECT_STREQ("abcdefg", small);
}

}  // namespace
