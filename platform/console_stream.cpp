#include "platform/console_stream.h"

#include <cstdio>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>

bool stderr_is_terminal() { return _isatty(_fileno(stderr)) != 0; }

void stdout_binary() { (void)_setmode(_fileno(stdout), _O_BINARY); }
#else
#include <unistd.h>

bool stderr_is_terminal() { return isatty(fileno(stderr)) != 0; }

void stdout_binary() {}
#endif
