#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "platform/console_stream.h"

bool stderr_is_terminal() { return _isatty(_fileno(stderr)) != 0; }

void stdout_binary() { (void)_setmode(_fileno(stdout), _O_BINARY); }
