#include "manifest/release.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "manifest/builtin_release.h"

const ReleaseInfo BUILTIN_RELEASE = {
    .version = VARNEL_BUILTIN_VERSION,
    .file_name = VARNEL_BUILTIN_FILE_NAME,
    .size = VARNEL_BUILTIN_SIZE,
    .sha256_hex = VARNEL_BUILTIN_SHA256,
};

ReleaseInfo g_release;

namespace {

enum class TokenFault { NONE, LENGTH, CHARACTERS };

TokenFault token_fault(const char* text, int32_t max_length) {
    size_t n = strlen(text);
    if (n == 0 || n > static_cast<size_t>(max_length < 0 ? 0 : max_length))
        return TokenFault::LENGTH;
    for (size_t i = 0; i < n; ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        unsigned upper = c & ~0x20u;
        bool ok = (c >= 0x30 && c <= 0x39) || (upper >= 0x41 && upper <= 0x5A) || c == 0x2D ||
                  c == 0x2E || c == 0x5F;
        if (!ok) return TokenFault::CHARACTERS;
    }
    return TokenFault::NONE;
}

}  // namespace

bool is_safe_token(const char* text, int32_t max_length) {
    return token_fault(text, max_length) == TokenFault::NONE;
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

const char* drop_leading_v(const char* version) {
    return version + (version[0] == 'v' || version[0] == 'V' ? 1 : 0);
}

bool digests_match(const char* a, const char* b) {
    return strlen(a) == SHA256_HEX_LENGTH && strlen(b) == SHA256_HEX_LENGTH &&
           ascii_equal_nocase(a, b);
}

namespace {

// Cuts the text into its first four lines in place, each without its line
// feed and trailing blanks and carriage returns; returns how many it found.
int split_lines(char* text, char* (&lines)[4]) {
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
    return count;
}

ManifestRule version_rule(const char* version) {
    TokenFault fault = token_fault(drop_leading_v(version), MAX_VERSION_LENGTH);
    if (fault == TokenFault::LENGTH) return ManifestRule::VERSION_LENGTH;
    if (fault == TokenFault::CHARACTERS) return ManifestRule::VERSION_CHARACTERS;
    return ManifestRule::NONE;
}

ManifestRule file_name_rule(const char* file_name) {
    size_t name_length = strlen(file_name);
    TokenFault fault = token_fault(file_name, MAX_FILE_NAME_LENGTH);
    if (fault == TokenFault::LENGTH ||
        (fault == TokenFault::NONE && name_length < MIN_FILE_NAME_LENGTH))
        return ManifestRule::FILE_NAME_LENGTH;
    if (fault == TokenFault::CHARACTERS) return ManifestRule::FILE_NAME_CHARACTERS;
    if (!ascii_equal_nocase(file_name + name_length - 4, ".exe"))
        return ManifestRule::FILE_NAME_SUFFIX;
    if (strstr(file_name, "..") != nullptr) return ManifestRule::FILE_NAME_DOTS;
    return ManifestRule::NONE;
}

ManifestRule digest_rule(const char* digest) {
    if (strlen(digest) != SHA256_HEX_LENGTH) return ManifestRule::DIGEST_LENGTH;
    for (int i = 0; i < SHA256_HEX_LENGTH; ++i)
        if (!isxdigit(static_cast<unsigned char>(digest[i])))
            return ManifestRule::DIGEST_CHARACTERS;
    return ManifestRule::NONE;
}

}  // namespace

ManifestRule first_broken_rule(char* text, ReleaseInfo* release) {
    char* lines[4] = {nullptr, nullptr, nullptr, nullptr};
    if (split_lines(text, lines) < 4) return ManifestRule::LINE_COUNT;
    // The rules in the order they are reported: version, name, digest, size.
    ManifestRule broken = version_rule(lines[0]);
    if (broken == ManifestRule::NONE) broken = file_name_rule(lines[1]);
    if (broken == ManifestRule::NONE) broken = digest_rule(lines[3]);
    uint64_t size = 0;
    if (broken == ManifestRule::NONE && !read_size(lines[2], &size)) broken = ManifestRule::SIZE;
    if (broken != ManifestRule::NONE) return broken;
    snprintf(release->version, sizeof release->version, "%s", drop_leading_v(lines[0]));
    snprintf(release->file_name, sizeof release->file_name, "%s", lines[1]);
    snprintf(release->sha256_hex, sizeof release->sha256_hex, "%s", lines[3]);
    release->size = size;
    return ManifestRule::NONE;
}

bool version_numbers(const char* version, uint16_t (&numbers)[4]) {
    uint16_t parts[4] = {0, 0, 0, 0};
    const char* p = version;
    for (int part = 0; part < 4; ++part) {
        uint32_t value = 0;
        const char* digits = p;
        for (; *p >= '0' && *p <= '9'; ++p) {
            value = value * 10 + static_cast<uint32_t>(*p - '0');
            if (value > 65535) return false;
        }
        if (p == digits) return false;
        parts[part] = static_cast<uint16_t>(value);
        if (*p == '\0') {
            memcpy(numbers, parts, sizeof parts);
            return true;
        }
        if (*p++ != '.') return false;
    }
    return false;
}

int compare_version_numbers(const uint16_t (&a)[4], const uint16_t (&b)[4]) {
    for (int i = 0; i < 4; ++i)
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    return 0;
}

ManifestRule pinned_version_rule(const char* version) {
    uint16_t numbers[4];
    uint16_t builtin[4];
    if (!version_numbers(version, numbers)) return ManifestRule::VERSION_NOT_NUMBERS;
    // The built-in release is checked when the program is built.
    if (version_numbers(BUILTIN_RELEASE.version, builtin) &&
        compare_version_numbers(numbers, builtin) < 0)
        return ManifestRule::VERSION_OLDER;
    return ManifestRule::NONE;
}

bool parse_manifest(char* text, ReleaseInfo* release) {
    return first_broken_rule(text, release) == ManifestRule::NONE;
}

namespace {

// Indexed by ManifestRule: a short identifier for reports, a line for people.
struct RuleName {
    const char* id;
    const char* text;
};
const RuleName RULE_NAMES[] = {
    {"none", "no rule broken"},
    {"line_count", "line count: fewer than four lines"},
    {"version_length", "version (line 1): not 1 to 16 characters after one leading v"},
    {"version_characters", "version (line 1): a character outside 0-9 A-Z a-z - . _"},
    {"file_name_length", "file name (line 2): not 5 to 96 characters"},
    {"file_name_characters", "file name (line 2): a character outside 0-9 A-Z a-z - . _"},
    {"file_name_suffix", "file name (line 2): does not end in .exe"},
    {"file_name_dots", "file name (line 2): holds \"..\""},
    {"digest_length", "digest (line 4): not 64 characters"},
    {"digest_characters", "digest (line 4): a character that is not a hexadecimal digit"},
    {"size", "size (line 3): not a non-zero decimal byte count filling the line"},
    {"version_not_numbers", "version (line 1): not up to four numbers of at most 65535"},
    {"version_older", "version (line 1): older than the built-in release"},
};
static_assert(sizeof RULE_NAMES / sizeof RULE_NAMES[0] ==
                  static_cast<size_t>(ManifestRule::VERSION_OLDER) + 1,
              "one name for every rule");

}  // namespace

const char* manifest_rule_text(ManifestRule rule) {
    return RULE_NAMES[static_cast<int>(rule)].text;
}

const char* manifest_rule_id(ManifestRule rule) { return RULE_NAMES[static_cast<int>(rule)].id; }
