#include "platform/console_stream.h"

#include <unistd.h>

#include <cstdio>

bool stderr_is_terminal() { return isatty(fileno(stderr)) != 0; }

// POSIX streams never translate line ends.
void stdout_binary() {}
