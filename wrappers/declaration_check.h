// The check of a definition file's declarations before any glue is written.
// A declaration whose stub or VBA functions could not be generated correctly
// (an unknown type, a name that is not an identifier, a reserved word of VBA
// or C++, a name that clashes with one the generated module defines itself,
// compared without regard to case as VBA does) is reported and left out of
// both generated files, so that it cannot sink the module: the rest is still
// generated, compiled and served.
#ifndef VELMOR_WRAPPERS_DECLARATION_CHECK_H_
#define VELMOR_WRAPPERS_DECLARATION_CHECK_H_

#include <stddef.h>

#include "externals.h"

// Checks the lists of the wrapper-side reader (wp_ltype in file order, the
// other three newest first) and takes out every faulty declaration, each
// reported on standard error as "FILE:LINE: NAME is left out of the generated
// files: REASON\n". Returns the number left out.
int leave_out_faulty_declarations(const char* file, const char* module);

#endif
