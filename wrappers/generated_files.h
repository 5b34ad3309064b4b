// Which files in the wrapper directory generation may overwrite.
//
// Generation writes MODULE.bas, MODULE.cpp, MODULE.so and "map.info" into a
// directory that may also hold a user's own files (a user's payroll.cpp beside
// payroll.def, say). A file of one of those names is overwritten only when
// generation wrote it: the stub source and the VBA module by their banner, the
// stub library by the stub source beside it, "map.info" by its "~"-separated
// lines. An empty file holds nothing to lose and counts as generated.
// Single-threaded, like the rest of the wrapper build.
#ifndef VELMOR_WRAPPERS_GENERATED_FILES_H_
#define VELMOR_WRAPPERS_GENERATED_FILES_H_

// The line of the banner that opens every generated stub source and VBA module,
// after the comment leader ("* " and "' ").
extern const char* const GENERATED_BANNER_LINE;

// 1 when "map.info" at path is missing or one that generation wrote; else 0
// after a message naming the file on standard error.
int map_info_may_be_written(const char* path);

// 1 when none of MODULE.bas, MODULE.cpp and MODULE.so of definition_file in
// the wrapper directory exists as someone else's file; else 0 after a message
// naming the first such file on standard error.
int module_files_may_be_written(const char* definition_file);

#endif
