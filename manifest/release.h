// The release to install and the manifest text that describes it.
#pragma once

#include <cstdint>

struct ReleaseInfo {
    char version[32];
    char file_name[128];
    uint64_t size;
    char sha256_hex[65];
};

inline constexpr int MAX_VERSION_LENGTH = 16;
inline constexpr int MIN_FILE_NAME_LENGTH = 5;
inline constexpr int MAX_FILE_NAME_LENGTH = 96;
inline constexpr int SHA256_HEX_LENGTH = 64;

extern const ReleaseInfo BUILTIN_RELEASE;

// The run's release: written once by stage 1, read by every later stage.
extern ReleaseInfo g_release;

bool is_safe_token(const char* text, int32_t max_length);
// `text` is writable and NUL-terminated; it is rewritten in place. On false
// `release` is untouched.
bool parse_manifest(char* text, ReleaseInfo* release);
