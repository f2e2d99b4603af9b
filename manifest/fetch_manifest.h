#pragma once

#include "manifest/release.h"
#include "net/https.h"

inline constexpr int MANIFEST_BUFFER_SIZE = 4096;

// How one mirror attempt ended, with what the mirror sent.
struct MirrorAttempt {
    // DONE once the exchange gave a 200 or 206 answer.
    GetStep step;
    uint32_t status;
    // Body bytes held when reading stopped; a body of 4095 bytes or more stops
    // at 4095.
    int32_t received;
    bool body_failed;
    // The body failed by running past MIRROR_BODY_LIMIT_MS.
    bool body_slow;
    // Of the body; meaningful for a complete body of 1 to 4094 bytes.
    ManifestRule rule;
};

// One entry of MANIFEST_URLS, as stage 1 tries it: true when its manifest
// was accepted into `release`, which is otherwise untouched.
bool try_mirror(HttpsSession session, const char* url, ReleaseInfo* release,
                MirrorAttempt* attempt);

// Stage 1: the first valid mirror manifest, or the built-in release. Prints
// the release line.
void fetch_manifest(HttpsSession probe_session, ReleaseInfo* release);
extern const char BUILTIN_LABEL[];
// The source label of an accepted manifest, by the content of its URL.
const char* source_label_for(const char* url);
