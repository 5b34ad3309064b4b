// PLACEHOLDER: replaced by the wrapper build pipeline.
#ifndef VELMOR_WRAPPERS_WRAPPER_INTERFACE_H_
#define VELMOR_WRAPPERS_WRAPPER_INTERFACE_H_

int wrapper_interface(char* _formula_file);

#endif
