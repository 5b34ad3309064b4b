// PLACEHOLDER: replaced by the wrapper build pipeline.
#include "wrapper_interface.h"

int wrapper_interface(char* _formula_file) { (void)_formula_file; return 1; }
