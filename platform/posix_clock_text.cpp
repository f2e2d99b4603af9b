#include "platform/posix_clock_text.h"

#include <time.h>

#include <cstring>

uint64_t posix_now_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u +
           static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

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

// The code point at `*s`, which moves past it.
uint32_t decode_utf8(const unsigned char** s) {
    unsigned char c = **s;
    uint32_t cp;
    int extra;
    if (c < 0x80) {
        cp = c;
        extra = 0;
    } else if ((c & 0xE0) == 0xC0) {
        cp = c & 0x1Fu;
        extra = 1;
    } else if ((c & 0xF0) == 0xE0) {
        cp = c & 0x0Fu;
        extra = 2;
    } else if ((c & 0xF8) == 0xF0) {
        cp = c & 0x07u;
        extra = 3;
    } else {
        cp = 0xFFFD;
        extra = -1;
    }
    ++*s;
    for (int i = 0; i < extra; ++i) {
        if ((**s & 0xC0) != 0x80) return 0xFFFD;
        cp = (cp << 6) | (**s & 0x3Fu);
        ++*s;
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
            cp -= 0x10000;
            out[n++] = static_cast<char16_t>(0xD800 + (cp >> 10));
            out[n++] = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out[n++] = static_cast<char16_t>(cp);
        }
        if (cp == 0) return n;
    }
}
