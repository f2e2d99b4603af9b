// The release to install and the manifest text that describes it.
#pragma once

#include <cstdint>

inline constexpr int MAX_VERSION_LENGTH = 16;
inline constexpr int MIN_FILE_NAME_LENGTH = 5;
inline constexpr int MAX_FILE_NAME_LENGTH = 96;
inline constexpr int SHA256_HEX_LENGTH = 64;
// A SHA-256 digest as hex text, with its terminator.
inline constexpr int SHA256_HEX_CAPACITY = SHA256_HEX_LENGTH + 1;
// Room for a version and a file name with their terminators, beyond what the
// rules allow; the build's reader of a manifest file reads these lines.
inline constexpr int VERSION_CAPACITY = 32;
inline constexpr int FILE_NAME_CAPACITY = 128;

struct ReleaseInfo {
    char version[VERSION_CAPACITY];
    char file_name[FILE_NAME_CAPACITY];
    uint64_t size;
    char sha256_hex[SHA256_HEX_CAPACITY];
};
// The MB in which the console and the release tool show sizes and rates.
inline constexpr double BYTES_PER_MB = 1048576.0;

extern const ReleaseInfo BUILTIN_RELEASE;

// The run's release: written once by stage 1, read by every later stage.
extern ReleaseInfo g_release;

// The rules of a manifest, in the order the parser applies them.
enum class ManifestRule {
    NONE,
    LINE_COUNT,
    VERSION_LENGTH,
    VERSION_CHARACTERS,
    FILE_NAME_LENGTH,
    FILE_NAME_CHARACTERS,
    FILE_NAME_SUFFIX,
    FILE_NAME_DOTS,
    DIGEST_LENGTH,
    DIGEST_CHARACTERS,
    SIZE,
    // Only where a publisher is pinned: a release must be named by numbers
    // and never be older than the one built in, so no older signed file can
    // be served as the release.
    VERSION_NOT_NUMBERS,
    VERSION_OLDER,
};

bool is_safe_token(const char* text, int32_t max_length);
// `version` past one leading v or V, as the parser keeps a manifest's first
// line ("v2.1" is 2.1, "vv2" is v2). Never fails: the text is not copied.
const char* drop_leading_v(const char* version);
// True when both are SHA-256 hex digests (64 characters) naming the same
// value, letters compared without regard to case; false for any other text.
bool digests_match(const char* a, const char* b);
// The first rule that `text` breaks, NONE when it breaks none; only then is
// `release` written. `text` is writable and NUL-terminated; it is rewritten
// in place.
ManifestRule first_broken_rule(char* text, ReleaseInfo* release);
// The manifest's version as up to four numbers of at most 65535 joined by
// full stops ("9.2" is 9.2.0.0); false for any other text.
bool version_numbers(const char* version, uint16_t (&numbers)[4]);
// Below, at or above 0 as `a` is older than, the same as or newer than `b`.
int compare_version_numbers(const uint16_t (&a)[4], const uint16_t (&b)[4]);
// What a pinned installer demands of an accepted release's version on top
// of the manifest's rules: NONE, VERSION_NOT_NUMBERS or VERSION_OLDER than
// BUILTIN_RELEASE's.
ManifestRule pinned_version_rule(const char* version);
// True exactly when first_broken_rule names none.
bool parse_manifest(char* text, ReleaseInfo* release);
// One line naming the rule, for people.
const char* manifest_rule_text(ManifestRule rule);
// A short identifier of the rule ("digest_length"), for reports.
const char* manifest_rule_id(ManifestRule rule);
