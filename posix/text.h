// The POSIX build's text conversions, as Windows converts between UTF-16 and
// UTF-8, shared by its platform operations and its HTTP stand-in.
#pragma once

#include <cstddef>
#include <cstdint>

// UTF-16 (NUL-terminated) to UTF-8 with terminator in at most `capacity`
// bytes; false when it does not fit, with `out` then unterminated. A lone
// surrogate becomes U+FFFD.
bool posix_utf16_to_utf8(const char16_t* text, char* out, size_t capacity);

// UTF-8 (NUL-terminated) to UTF-16 with terminator in at most `capacity`
// units; the units written, or 0 when it does not fit. Code points past
// U+FFFF become surrogate pairs. A malformed sequence (cut short, overlong,
// a surrogate, past U+10FFFF) becomes U+FFFD, split into as many U+FFFD as
// MultiByteToWideChar splits it.
int posix_utf8_to_utf16(const char* text, char16_t* out, int capacity);
