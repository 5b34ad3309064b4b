// PLACEHOLDER: replaced by the formula subsystem's interface.
#ifndef VELMOR_DF_ANALYSIS_DF_INTERFACE_H_
#define VELMOR_DF_ANALYSIS_DF_INTERFACE_H_

#include <string>

int add_an_entry(const char* book, const char* name, const char* formula);
std::string objectify_an_entry(const char* book, const char* name, int is_generator);

#endif
