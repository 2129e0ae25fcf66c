// Process end and the environment stubs: no handlers are kept, there is no
// environment, and nothing is flushed on the way out.
#include "stdlib.h"
#include "unistd.h"

extern "C" {

int atexit(void (*)(void)) { return 0; }

char *getenv(const char *) { return nullptr; }

void exit(int status) { _exit(status); }

void abort(void) { _exit(EXIT_FAILURE); }

} // extern "C"
