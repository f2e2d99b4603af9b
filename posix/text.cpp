#include "posix/text.h"

#include <cstring>

namespace {

// The UTF-8 bytes of one code point; their count.
size_t encode_utf8(uint32_t cp, unsigned char* bytes) {
    if (cp < 0x80) {
        bytes[0] = static_cast<unsigned char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        bytes[0] = static_cast<unsigned char>(0xC0 | (cp >> 6));
        bytes[1] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        bytes[0] = static_cast<unsigned char>(0xE0 | (cp >> 12));
        bytes[1] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
        bytes[2] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
        return 3;
    }
    bytes[0] = static_cast<unsigned char>(0xF0 | (cp >> 18));
    bytes[1] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
    bytes[2] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
    bytes[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    return 4;
}

// The code point at `*s`, which moves past it. A malformed sequence gives
// U+FFFD and ends where Wine's MultiByteToWideChar ends it (measured): after
// the byte that shows it overlong or a surrogate, before a byte that is no
// continuation or that takes it past U+10FFFF. Unlike Wine's, a sequence cut
// short by the end never takes the terminator with it.
uint32_t decode_utf8(const unsigned char** s) {
    const unsigned char c = *(*s)++;
    if (c < 0x80) return c;
    int extra = c >= 0xC2 && c <= 0xDF   ? 1
                : c >= 0xE0 && c <= 0xEF ? 2
                : c >= 0xF0 && c <= 0xF4 ? 3
                                         : 0;
    if (extra == 0) return 0xFFFD;
    const uint32_t least = extra == 1 ? 0x80u : extra == 2 ? 0x800u : 0x10000u;
    uint32_t cp = c & (0x7Fu >> (extra + 1));
    for (int left = extra - 1; left >= 0; --left) {
        if ((**s & 0xC0) != 0x80) return 0xFFFD;
        cp = (cp << 6) | (**s & 0x3Fu);
        if (left == 1 && cp >= (0x110000u >> 6)) return 0xFFFD;
        ++*s;
        // Checked on the bits so far, as each byte arrives.
        if (cp < (least >> (6 * left))) return 0xFFFD;
        if (extra == 2 && left == 1 && cp >= (0xD800u >> 6) && cp <= (0xDFFFu >> 6)) return 0xFFFD;
    }
    return cp;
}

}  // namespace

bool posix_utf16_to_utf8(const char16_t* text, char* out, size_t capacity) {
    size_t n = 0;
    for (const char16_t* p = text;; ++p) {
        uint32_t cp = *p;
        if (cp >= 0xD800 && cp <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<uint32_t>(p[1]) - 0xDC00);
            ++p;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        unsigned char bytes[4];
        size_t count = encode_utf8(cp, bytes);
        if (n + count > capacity) return false;
        memcpy(out + n, bytes, count);
        n += count;
        if (cp == 0) return true;
    }
}

int posix_utf8_to_utf16(const char* text, char16_t* out, int capacity) {
    if (capacity <= 0) return 0;
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    int n = 0;
    for (;;) {
        uint32_t cp = decode_utf8(&s);
        int units = cp >= 0x10000 ? 2 : 1;
        if (n + units > capacity) return 0;  // as MultiByteToWideChar: too small fails
        if (units == 2) {
            uint32_t above = cp - 0x10000;
            out[n++] = static_cast<char16_t>(0xD800 + (above >> 10));
            out[n++] = static_cast<char16_t>(0xDC00 + (above & 0x3FF));
        } else {
            out[n++] = static_cast<char16_t>(cp);
        }
        if (cp == 0) return n;
    }
}
