#include "publish/make_manifest.h"

#include <cstdio>
#include <cstring>

#include "app/process.h"
#include "fetch/sha256.h"
#include "fetch/verify.h"
#include "manifest/fetch_manifest.h"
#include "manifest/release.h"
#include "platform/platform.h"

namespace {

constexpr uint64_t FOUR_GIB = 4294967296ull;

char g_text[MANIFEST_BUFFER_SIZE];
char g_parse[MANIFEST_BUFFER_SIZE];

const char* base_name(const char* path) {
    const char* name = path;
    for (const char* p = path; *p != '\0'; ++p)
        if (*p == '/' || *p == '\\') name = p + 1;
    return name;
}

bool write_all(const char* out_path, const char* text, size_t length) {
    if (out_path == nullptr) {
        platform().stdout_binary();
        return fwrite(text, 1, length, stdout) == length && fflush(stdout) == 0;
    }
    FILE* file = fopen(out_path, "wb");
    if (file == nullptr) return false;
    bool written = fwrite(text, 1, length, file) == length;
    bool closed = fclose(file) == 0;
    return written && closed;
}

// 0 when no publisher is named, or the version is one a pinned installer
// takes and the file is that release as the publisher signed it; else the
// exit code, with why on standard error.
int signature_refused(const char* installer_path, const char* publisher, const char* version) {
    if (publisher[0] == '\0') return TOOL_EXIT_OK;
    ManifestRule rule = pinned_version_rule(version);
    if (rule != ManifestRule::NONE) {
        fprintf(stderr, "refused: %s\n", manifest_rule_text(rule));
        return TOOL_EXIT_FOUND;
    }
    FILE* held = platform().open_held(installer_path);
    if (held == nullptr) {
        fprintf(stderr, "varnel-release: cannot read %s\n", installer_path);
        return TOOL_EXIT_CANNOT_WORK;
    }
    PinCheck check;
    bool ok = signed_by_publisher(held, installer_path, publisher, version, &check);
    fclose(held);
    if (ok && check.revocation_unchecked)
        fprintf(stderr, "note: the signer's revocation status could not be checked\n");
    if (ok) return TOOL_EXIT_OK;
    fprintf(stderr, "refused: signature not valid: %s\n", check.text);
    return TOOL_EXIT_FOUND;
}

}  // namespace

int make_manifest(const char* version, const char* installer_path, const char* out_path,
                  const char* publisher) {
    ReleaseInfo expected{};
    if (!sha256_file_measured(installer_path, expected.sha256_hex, &expected.size)) {
        fprintf(stderr, "varnel-release: cannot read %s\n", installer_path);
        return TOOL_EXIT_CANNOT_WORK;
    }
    const char* name = base_name(installer_path);
    int length = snprintf(g_text, sizeof g_text, "%s\n%s\n%llu\n%s\n", version, name,
                          static_cast<unsigned long long>(expected.size), expected.sha256_hex);
    if (length < 0 || length > MANIFEST_BODY_MAX) {
        fprintf(stderr, "refused: manifest: more than %d bytes\n", MANIFEST_BODY_MAX);
        return TOOL_EXIT_FOUND;
    }
    memcpy(g_parse, g_text, static_cast<size_t>(length) + 1);
    ReleaseInfo parsed{};
    ManifestRule rule = first_broken_rule(g_parse, &parsed);
    if (rule != ManifestRule::NONE) {
        fprintf(stderr, "refused: %s\n", manifest_rule_text(rule));
        return TOOL_EXIT_FOUND;
    }
    // The record the installer must get back.
    snprintf(expected.version, sizeof expected.version, "%s", drop_leading_v(version));
    snprintf(expected.file_name, sizeof expected.file_name, "%s", name);
    if (strcmp(parsed.version, expected.version) != 0 ||
        strcmp(parsed.file_name, expected.file_name) != 0 || parsed.size != expected.size ||
        strcmp(parsed.sha256_hex, expected.sha256_hex) != 0) {
        fprintf(stderr, "refused: round trip: the written text parses to another release\n");
        return TOOL_EXIT_FOUND;
    }
    int refused = signature_refused(installer_path, publisher, expected.version);
    if (refused != TOOL_EXIT_OK) return refused;
    if (expected.size >= FOUR_GIB)
        fprintf(stderr,
                "warning: %llu bytes is 4 GiB or more: the installer shows no progress line "
                "for it\n",
                static_cast<unsigned long long>(expected.size));
    if (!write_all(out_path, g_text, static_cast<size_t>(length))) {
        fprintf(stderr, "varnel-release: cannot write %s\n",
                out_path != nullptr ? out_path : "standard output");
        return TOOL_EXIT_CANNOT_WORK;
    }
    return TOOL_EXIT_OK;
}
