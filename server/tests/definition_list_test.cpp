// The settings file as the service manager writes it: what a reload reads
// its list of definition files from.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "definition_list.h"

struct SettingsCase {
  const char* text;
  bool found;
  const char* value;
};

TEST(SettingsValue, ReadsTheWayTheServiceManagerDoes) {
  const SettingsCase cases[] = {
      {"VELMOR_DEFINITIONS=/a.def /b.def\n", true, "/a.def /b.def"},
      {"VELMOR_DEFINITIONS=\"/a.def /b.def\"\n", true, "/a.def /b.def"},
      {"VELMOR_DEFINITIONS='/a.def'\n", true, "/a.def"},
      {"  VELMOR_DEFINITIONS = /a.def  \n", true, "/a.def"},
      {"# VELMOR_DEFINITIONS=/old.def\n", false, ""},
      {"VELMOR_DEFINITIONS_OLD=/x.def\n", false, ""},
      {"VELMOR_DEFINITIONS=/a.def\nVELMOR_DEFINITIONS=/b.def\n", true, "/b.def"},
      {"VELMOR_DEFINITIONS=\n", true, ""},
      {"VELMOR_DEFINITIONS=\"/a.def\r\n", true, "\"/a.def"},  // unbalanced quote kept
  };
  for (const SettingsCase& c : cases) {
    std::string value;
    EXPECT_EQ(c.found, settings_value(c.text, "VELMOR_DEFINITIONS", &value)) << c.text;
    if (c.found) {
      EXPECT_EQ(c.value, value) << c.text;
    }
  }
}

TEST(DefinitionFiles, CommandLineFirstThenTheSettingsFileEachOnce) {
  char dir[] = "/tmp/velmor-settings-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(dir));
  std::string settings = std::string(dir) + "/velmord";
  std::ofstream(settings) << "VELMOR_WATCH=yes\nVELMOR_DEFINITIONS=\"/b.def /a.def /c.def /c.def\"\n";
  setenv("VELMOR_SETTINGS", settings.c_str(), 1);
  add_command_line_definition("/a.def");
  std::vector<std::string> expected = {"/a.def", "/b.def", "/c.def"};
  EXPECT_EQ(expected, definition_files());
  EXPECT_EQ("yes", current_setting("VELMOR_WATCH"));

  // Read again: a file taken out of the settings is gone from the list.
  std::ofstream(settings) << "VELMOR_DEFINITIONS=/b.def\n";
  expected = {"/a.def", "/b.def"};
  EXPECT_EQ(expected, definition_files());

  unlink(settings.c_str());
  rmdir(dir);
  unsetenv("VELMOR_SETTINGS");
  expected = {"/a.def"};
  EXPECT_EQ(expected, definition_files());
}
