// Where a path written in a definition file points, whatever the reader's
// working directory.
#include <gtest/gtest.h>
#include <limits.h>
#include <unistd.h>

#include <string>

#include "definition_paths.h"

namespace {

std::string Resolve(const std::string& file, const std::string& entry, size_t size = 1024) {
  char out[1024];
  if (!resolve_definition_path(file.c_str(), entry.c_str(), out, size)) return "<no fit>";
  return out;
}

TEST(DefinitionPaths, RelativeEntriesLieBesideTheFile) {
  char cwd[PATH_MAX];
  ASSERT_NE(nullptr, getcwd(cwd, sizeof(cwd)));
  const std::string here = cwd;
  struct Case {
    const char* file;
    const char* entry;
    std::string want;
  } cases[] = {
      {"/srv/defs/pay.def", "/opt/lib/a.so", "/opt/lib/a.so"},
      {"/srv/defs/pay.def", "a.so", "/srv/defs/a.so"},
      {"/srv/defs/pay.def", "./a.so", "/srv/defs/a.so"},
      {"/srv/defs/pay.def", ".//.//a.so", "/srv/defs/a.so"},
      {"/srv/defs/pay.def", "../lib/a.so", "/srv/defs/../lib/a.so"},
      {"/srv/defs/pay.def", ".hidden.so", "/srv/defs/.hidden.so"},
      {"/pay.def", "a.so", "/a.so"},
      {"defs/pay.def", "a.so", here + "/defs/a.so"},
      {"./pay.def", "../lib/a.so", here + "/./../lib/a.so"},
      {"pay.def", "a.so", here + "/a.so"},
      {"/srv/defs/pay.def", "", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(c.want, Resolve(c.file, c.entry)) << c.file << " " << c.entry;
}

TEST(DefinitionPaths, TheWorkingDirectoryOfRootAddsNoSecondSlash) {
  char cwd[PATH_MAX];
  ASSERT_NE(nullptr, getcwd(cwd, sizeof(cwd)));
  ASSERT_EQ(0, chdir("/"));
  std::string nested = Resolve("defs/pay.def", "a.so");
  std::string flat = Resolve("pay.def", "a.so");
  ASSERT_EQ(0, chdir(cwd));
  EXPECT_EQ("/defs/a.so", nested);
  EXPECT_EQ("/a.so", flat);
}

TEST(DefinitionPaths, AResultThatDoesNotFitIsRefused) {
  EXPECT_EQ("/d/a.so", Resolve("/d/x.def", "a.so", 8));
  EXPECT_EQ("<no fit>", Resolve("/d/x.def", "a.so", 7));
  EXPECT_EQ("<no fit>", Resolve("/d/x.def", "/abcdefgh.so", 8));
}

}  // namespace
