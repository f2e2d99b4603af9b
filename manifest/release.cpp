#include "manifest/release.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

const ReleaseInfo BUILTIN_RELEASE = {
    "2.0.4",
    "Varnel-2.0.4-windows-amd64-setup.exe",
    7532411,
    "9244397c38a76a83c240331671f3ddbc35647737f471f1ac9cfbf0854d725c9a",
};

ReleaseInfo g_release;

bool is_safe_token(const char* text, int32_t max_length) {
    size_t n = strlen(text);
    if (n == 0 || n > static_cast<size_t>(max_length < 0 ? 0 : max_length)) return false;
    for (size_t i = 0; i < n; ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        unsigned upper = c & ~0x20u;
        bool ok = (c >= 0x30 && c <= 0x39) || (upper >= 0x41 && upper <= 0x5A) || c == 0x2D ||
                  c == 0x2E || c == 0x5F;
        if (!ok) return false;
    }
    return true;
}

namespace {

// ASCII letters compared without regard to case, the locale never consulted.
bool ascii_equal_nocase(const char* a, const char* b) {
    for (;; ++a, ++b) {
        auto x = static_cast<unsigned char>(*a);
        auto y = static_cast<unsigned char>(*b);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
        if (x != y) return false;
        if (x == 0) return true;
    }
}

// The size line as an unsigned decimal. strtoull's reading is kept (leading
// white space, a plus sign, leading zeros) except that a minus sign or a
// value past 2^64 - 1 is refused: strtoull would turn them into huge sizes
// that no download can match.
bool read_size(const char* line, uint64_t* size) {
    const char* p = line;
    while (*p == ' ' || *p == '\t' || *p == '\v' || *p == '\f' || *p == '\r' || *p == '\n') ++p;
    if (*p == '-') return false;
    char* end = nullptr;
    unsigned long long value = strtoull(line, &end, 10);
    if (end == line || *end != '\0' || value == 0) return false;
    if (value == ULLONG_MAX) {
        // strtoull saturates; only the literal maximum is a real value.
        if (*p == '+') ++p;
        while (*p == '0') ++p;
        if (strcmp(p, "18446744073709551615") != 0) return false;
    }
    *size = value;
    return true;
}

}  // namespace

bool parse_manifest(char* text, ReleaseInfo* release) {
    char* lines[4] = {nullptr, nullptr, nullptr, nullptr};
    int count = 0;
    char* cursor = text;
    while (count < 4) {
        char* feed = strchr(cursor, '\n');
        if (feed != nullptr) *feed = '\0';
        size_t length = strlen(cursor);
        while (length > 0 && (cursor[length - 1] == ' ' || cursor[length - 1] == '\r'))
            cursor[--length] = '\0';
        lines[count++] = cursor;
        if (feed == nullptr) break;
        cursor = feed + 1;
    }
    if (count < 4) return false;

    char* version = lines[0];
    if (version[0] == 'v' || version[0] == 'V') memmove(version, version + 1, strlen(version));
    if (!is_safe_token(version, MAX_VERSION_LENGTH)) return false;

    const char* file_name = lines[1];
    size_t name_length = strlen(file_name);
    if (!is_safe_token(file_name, MAX_FILE_NAME_LENGTH) || name_length < MIN_FILE_NAME_LENGTH)
        return false;
    if (!ascii_equal_nocase(file_name + name_length - 4, ".exe")) return false;
    if (strstr(file_name, "..") != nullptr) return false;

    const char* digest = lines[3];
    if (strlen(digest) != SHA256_HEX_LENGTH) return false;
    for (int i = 0; i < SHA256_HEX_LENGTH; ++i)
        if (!isxdigit(static_cast<unsigned char>(digest[i]))) return false;

    uint64_t size = 0;
    if (!read_size(lines[2], &size)) return false;

    snprintf(release->version, sizeof release->version, "%s", version);
    snprintf(release->file_name, sizeof release->file_name, "%s", file_name);
    snprintf(release->sha256_hex, sizeof release->sha256_hex, "%s", digest);
    release->size = size;
    return true;
}
