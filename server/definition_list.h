// The server's list of definition files: those of its command line, then
// those that the settings file names (VELMOR_DEFINITIONS in the file that
// VELMOR_SETTINGS names, the service's /etc/default/velmord), each once. The
// settings file is read again at every reload, so that a file added there is
// loaded and a file taken out is unloaded. Server process only; not
// thread-safe.
#ifndef VELMOR_SERVER_DEFINITION_LIST_H_
#define VELMOR_SERVER_DEFINITION_LIST_H_

#include <string>
#include <vector>

// Notes one definition file of the command line, in order.
void add_command_line_definition(const char* file);

// The files of the settings file not on the command line, in their order;
// empty without VELMOR_SETTINGS. An unreadable settings file is said on
// stderr and gives none.
std::vector<std::string> settings_definitions();

// The whole list: command line first, then the settings file.
std::vector<std::string> definition_files();

// The value of KEY in a settings text of KEY=value lines (blank lines and
// "#" comments skipped, a value in double or single quotes unquoted); false
// when the key is absent. Exposed for tests.
bool settings_value(const std::string& text, const char* key, std::string* value);

// The value of key in the settings file, else the environment's; empty when
// neither has it.
std::string current_setting(const char* key);

#endif
