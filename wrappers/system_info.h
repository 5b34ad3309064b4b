// The site's command templates in "system.info" and the compile of a stub.
//
// "system.info" lives in VELMOR_BIN_DIR ("./system.info" when unset). Each line
// is a key, one separator character and a command template whose "%s" are
// filled in by the caller.
#ifndef VELMOR_WRAPPERS_SYSTEM_INFO_H_
#define VELMOR_WRAPPERS_SYSTEM_INFO_H_

#include <string>

// Path of "system.info" as worked out from VELMOR_BIN_DIR.
std::string system_info_path();

// Looks up key in "system.info". result must hold at least 1024 bytes; the
// matching line is read into it. Returns the value (the text after the key and
// its one separator character, one line end removed) or NULL.
char* get_compiler_command(const char* os_system, char* result);

// The template with every "%s" replaced by value and "%%" by "%". No other
// conversion is honoured, so a template cannot make the filler read stray
// arguments. The value goes in as shell_word(value).
std::string fill_command_template(const char* templ, const char* value);

// value as one shell word: as it stands when it holds only letters, digits
// and "/._+-,:=@", else in single quotes. A path from a definition file or
// the environment thus never becomes part of a command.
std::string shell_word(const char* value);

// Runs LINUX-CC for file_name_prefix (WRAPPER_DIR/MODULE). 1 when the command
// exited with status 0.
int compile_shared_object_file(const char* file_name_prefix);

#endif
