// The VBA module generator: per record type a Type, its array wrapper and the
// routines that send, receive and rebuild records; per declared function,
// thread and live thread a private pri_NAME that talks to the server through
// the client add-in, and the public worksheet function NAME. The writers are
// members of ExternDefinition (externals.h); this header holds the module's
// frame, written by the driver.
#ifndef VELMOR_WRAPPERS_VBA_WRITER_H_
#define VELMOR_WRAPPERS_VBA_WRITER_H_

#include <stdio.h>

// The banner comment of the module.
void write_vba_banner(FILE* out);
// The constant that every call passes to the server to prove the module current.
void write_vba_last_updated_time(FILE* out, const char* time_stamp);
// QVTX_UBound, between the record types and their routines.
void write_vba_ubound_function(FILE* out);
// GetLastUpdatedTime_MODULE, GetHost_MODULE and GetPort_MODULE.
void write_vba_closing_functions(FILE* out, const char* module);

#endif
