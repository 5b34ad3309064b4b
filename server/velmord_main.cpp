// Velmord: serves Excel clients the functions of the prototype files given
// on the command line.
#include "startup.h"

int main(int argc, char** argv) { return velmord_start(argc, argv); }
