// Standard streams beyond the C runtime: whether one is a terminal, and
// output without newline translation.
#pragma once

// True when standard error is a terminal, so a progress line can overwrite
// itself without filling a log; false when it cannot tell.
bool stderr_is_terminal();
// Standard output without newline translation: a manifest keeps its LF ends.
// A failure leaves the stream as it was.
void stdout_binary();
