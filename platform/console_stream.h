// What the release tool needs of its standard streams beyond the C runtime.
#pragma once

// True when standard error is a terminal, so a progress line can overwrite
// itself without filling a log.
bool stderr_is_terminal();
// Standard output without newline translation: a manifest keeps its LF ends.
void stdout_binary();
