// The server-side definition reader: sections, recording rules, line and
// column counting, restart after syntax errors and the exit statuses.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>
#include <vector>

#include "definition_reader.h"
#include "test_files.h"

namespace {

class DefinitionReader : public testing::Test {
 protected:
  // Reads text as one definition file; returns what went to stderr.
  std::string Read(const std::string& text) {
    std::string path = dir_.Write("defs.def", text);
    FILE* in = fopen(path.c_str(), "r");
    EXPECT_NE(nullptr, in);
    Keep();
    testing::internal::CaptureStderr();
    py_read_file(in);
    fclose(in);
    return testing::internal::GetCapturedStderr();
  }

  // The declaration lists are never emptied: a test looks only at what was
  // added since it began.
  void SetUp() override {
    fun_ = lfun;
    thread_ = lthread;
    live_ = llive_thread;
    type_ = ltype;
  }

  static std::vector<std::string> Names(Llist<ExternDefinition*>* list,
                                        Llist<ExternDefinition*>* before) {
    std::vector<std::string> names;
    for (; list != before; list = list->next) names.push_back(list->data->name);
    return names;
  }
  // The entry lists belong to the caller once read; the registry never frees
  // them, so keep them reachable for the leak check.
  static void Keep() {
    static std::vector<void*>* kept = new std::vector<void*>;
    kept->push_back(fstart);
    kept->push_back(gstart);
    kept->push_back(mstart);
  }
  void TearDown() override { Keep(); }

  std::vector<std::string> Fun() const { return Names(lfun, fun_); }
  std::vector<std::string> Thread() const { return Names(lthread, thread_); }
  std::vector<std::string> Live() const { return Names(llive_thread, live_); }
  std::vector<std::string> Type() const { return Names(ltype, type_); }

  static std::vector<std::string> Formulae(Formula* list) {
    std::vector<std::string> out;
    for (; list != nullptr; list = list->next) out.push_back(std::string(list->usageName) + "|" + list->appName);
    return out;
  }

  static std::vector<std::string> Modules() {
    std::vector<std::string> out;
    for (Node* n = mstart; n != nullptr; n = n->next) out.push_back(n->data);
    return out;
  }

  TempDir dir_;
  Llist<ExternDefinition*>* fun_;
  Llist<ExternDefinition*>* thread_;
  Llist<ExternDefinition*>* live_;
  Llist<ExternDefinition*>* type_;
};

typedef std::vector<std::string> Strings;

const char kExample[] =
    "// sample definitions\n"
    "LIBRARIES\n"
    "{\n"
    "    ./lib/sample_threads.so;\n"
    "}\n"
    "TYPES {\n"
    "    Employee (char * name, double salary, double bonus, double tax);\n"
    "}\n"
    "FUNCTIONS {\n"
    "    double range_average (VECTOR<double> values);\n"
    "    int get_db (VECTOR<Employee> & db);\n"
    "}\n"
    "THREADS {\n"
    "    double slow_average (VECTOR<double> values);\n"
    "}\n"
    "STREAMS {\n"
    "    int show_time (ExcelChannel<char *> now, int interval,\n"
    "                   int count);\n"
    "}\n"
    "MODULES { payroll.bas; }\n"
    "FORMULAE {\n"
    "    NET = SALARY - TAX;\n"
    "}\n";

TEST_F(DefinitionReader, ExampleFileIsRecordedAsDescribed) {
  EXPECT_EQ("", Read(kExample));
  EXPECT_EQ(Strings({"Employee"}), Type());
  EXPECT_EQ(Strings({"get_db", "range_average"}), Fun());
  EXPECT_EQ(Strings({"slow_average"}), Thread());
  EXPECT_EQ(Strings({"show_time"}), Live());
  EXPECT_EQ(Strings({"payroll.bas"}), Modules());
  EXPECT_EQ(Strings({"NET|SALARY - TAX"}), Formulae(fstart));
  EXPECT_EQ(nullptr, gstart);

  std::string members;
  for (Llist<Prototype*>* p = ltype->data->prototype; p != nullptr; p = p->next) {
    members += std::string(p->data->tag) + ":" + p->data->type + " ";
  }
  EXPECT_EQ("name:qvtx_string salary:double bonus:double tax:double ", members);
  Llist<Prototype*>* stream = llive_thread->data->prototype;
  ASSERT_NE(nullptr, stream);
  EXPECT_STREQ("qvtx_string", stream->data->type);
  EXPECT_STREQ("count", stream->next->next->data->tag);
}

TEST_F(DefinitionReader, KeywordsInAnyCaseAndOnlyWholePlurals) {
  EXPECT_EQ("", Read("functions { int a (); }\nStreams{int s (ExcelChannel<int> c);}\n"
                     "FORMULAS { X = 1; }\nGenerators { G = 2; }\nmodules{}\ntYpEs { }\n"));
  EXPECT_EQ(Strings({"a"}), Fun());
  EXPECT_EQ(Strings({"s"}), Live());
  EXPECT_EQ(Strings({"X|1"}), Formulae(fstart));
  EXPECT_EQ(Strings({"G|2"}), Formulae(gstart));

  EXPECT_EQ("syntax error at line: 1, position: 9 \n", Read("Function { int b (); }\n"));
  EXPECT_NE("", Read("FUNCTIONSX { int b (); }\n"));
  // A keyword inside a definition is a syntax error.
  EXPECT_NE("", Read("FUNCTIONS { int threads (); }\n"));
  EXPECT_EQ(Strings({"a"}), Fun());
}

TEST_F(DefinitionReader, DefinitionTextJoinsWordsWithOneBlank) {
  Read("FORMULAE {\n  A  =\tB   // no ; counts in here\n  C // another\n  ;\n"
       "  ==U = V ;\n  P == Q;\n  ONLY;\n  E =\t ;\n}\n"
       "MODULES { a//b;  x.bas ; }\n");
  EXPECT_EQ(Strings({"A|B C", "U|V", "P|= Q", "ONLY|", "E|"}), Formulae(fstart));
  EXPECT_EQ(Strings({"a//b", "x.bas"}), Modules());
}

TEST_F(DefinitionReader, SectionsAccumulateAndEntryListsRestart) {
  Read("FUNCTIONS { int f (); }\nFUNCTIONS { int g (); int h (); }\nFORMULAE { A = 1; }\n");
  EXPECT_EQ(Strings({"h", "g", "f"}), Fun());
  Read("FUNCTIONS { int k (); }\n");
  EXPECT_EQ(Strings({"k", "h", "g", "f"}), Fun());
  EXPECT_EQ(nullptr, fstart);
}

TEST_F(DefinitionReader, EmptySectionsAndEmptyDefinitions) {
  EXPECT_EQ("", Read("FUNCTIONS {}\nTHREADS {\n\n  }\n"));
  EXPECT_EQ("syntax error at line: 1, position: 14 \n", Read("FUNCTIONS { ; }\n"));
  EXPECT_EQ("syntax error at line: 1, position: 5 \n", Read("word\n"));
}

TEST_F(DefinitionReader, LineAndColumnInMessages) {
  EXPECT_EQ("syntax error at line: 4, position: 4 \n",
            Read("FUNCTIONS {\n  int f();\n}\nbad;\n"));
  // A comment counts its line but leaves the column alone.
  EXPECT_EQ("syntax error at line: 3, position: 29 \n",
            Read("// one\nFUNCTIONS {  // two\nint x(); } oops\n"));
}

TEST_F(DefinitionReader, RejectedPrototypesAreReportedAndSkipped) {
  testing::internal::CaptureStdout();
  EXPECT_NE(std::string::npos,
            Read("FUNCTIONS { int bad [] (); int good (); }\n"
                 "THREADS {\n int t (double x []);\n}\n")
                .find("#fp_error: syntax error near bad"));
  fflush(stdout);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(std::string::npos,
            out.find("wrapper_parser (1): Syntax error in the prototype definition -> int bad [] ()\n"));
  EXPECT_NE(std::string::npos,
            out.find("parse.yacc: Syntax error in the prototype definition in line 3 -> "
                     "int t (double x [])\n"));
  EXPECT_EQ(Strings({"good"}), Fun());
  EXPECT_EQ(thread_, lthread);
}

TEST_F(DefinitionReader, CarriageReturnsAreWordCharacters) {
  // The keyword that ends its line is read together with the CR.
  EXPECT_NE("", Read("FUNCTIONS\r\n{\r\n int f ();\r\n}\r\n"));
  EXPECT_EQ(fun_, lfun);
  // After ";" a CR is a word that starts the next definition; the last one
  // then meets "}" instead of ";".
  EXPECT_NE("", Read("FORMULAE {\r\n A = 1;\r\n B = 2;\r\n}\n"));
  EXPECT_EQ(Strings({"\r A|1", "\r B|2"}), Formulae(fstart));
}

TEST_F(DefinitionReader, RestartAfterSyntaxErrorOnlyBeforeTheEndIsRead) {
  // A file within one read block stops at its first syntax error.
  EXPECT_EQ("syntax error at line: 1, position: 5 \n",
            Read("oops\nFUNCTIONS { int a (); }\n"));
  EXPECT_EQ(fun_, lfun);

  // A larger one resumes at the top level after the error.
  std::string padding(9000, ' ');
  std::string err = Read("FUNCTIONS { int a (); } oops\nFUNCTIONS { int b (); }\n" + padding +
                         "\nTHREADS { int c (); }\n");
  EXPECT_EQ("syntax error at line: 1, position: 29 \n", err);
  EXPECT_EQ(Strings({"b", "a"}), Fun());
  EXPECT_EQ(Strings({"c"}), Thread());
}

TEST_F(DefinitionReader, NothingCarriesIntoTheNextFile) {
  std::string padding(9000, ' ');
  Read("FORMULAE { HALF = " + padding + "\n");  // ends inside a definition
  EXPECT_EQ(nullptr, fstart);
  Read("FORMULAE { WHOLE = 1; }\n");
  EXPECT_EQ(Strings({"WHOLE|1"}), Formulae(fstart));
}

TEST_F(DefinitionReader, DefinitionOf1023CharactersFits) {
  std::string word(1021, 'x');
  Read("MODULES { " + word + " y; }\n");
  ASSERT_NE(nullptr, mstart);
  EXPECT_EQ(1023u, strlen(mstart->data));
}

TEST_F(DefinitionReader, LongerDefinitionEndsTheProgram) {
  std::string path = dir_.Write("long.def", "MODULES { " + std::string(1021, 'x') + " yz; }\n");
  EXPECT_EXIT(
      {
        Keep();
        FILE* in = fopen(path.c_str(), "r");
        py_read_file(in);
      },
      testing::ExitedWithCode(1),
      "Not enough space \\(available 1024, used 1022\\) to strcat yz\nSorry, exiting ...");
  std::string full = dir_.Write("full.def", "MODULES { " + std::string(1023, 'x') + " y; }\n");
  EXPECT_EXIT(
      {
        Keep();
        FILE* in = fopen(full.c_str(), "r");
        py_read_file(in);
      },
      testing::ExitedWithCode(1), "Not enough space \\(available 1024, used 1023\\) to strcat  \n");
}

TEST_F(DefinitionReader, ReadErrorEndsTheProgramWithStatus2) {
  EXPECT_EXIT(
      {
        Keep();
        FILE* in = fopen(dir_.path().c_str(), "r");  // a directory: reading fails
        py_read_file(in);
      },
      testing::ExitedWithCode(2), "input in flex scanner failed");
}

}  // namespace
