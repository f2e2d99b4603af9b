#pragma once

#include "manifest/mirrors.h"
#include "manifest/release.h"
#include "net/https.h"

inline constexpr int MANIFEST_BUFFER_SIZE = 4096;
// The largest manifest body stage 1 parses. A read stops once the body fills
// the buffer but for its terminator, so a body that long may have been cut:
// it is refused, as is any longer one.
inline constexpr int MANIFEST_BODY_MAX = MANIFEST_BUFFER_SIZE - 2;
// A healthy mirror sends its four lines in milliseconds; every read can come
// inside the receive timeout and a peer still hold stage 1 for hours, so the
// body as a whole is bounded too, by the platform's tick count.
inline constexpr uint64_t MIRROR_BODY_LIMIT_MS = 5000;

// How one mirror attempt ended, with what the mirror sent.
struct MirrorAttempt {
    // DONE once the exchange gave a 200 or 206 answer.
    GetStep step;
    uint32_t status;
    // Body bytes held when reading stopped; a body longer than
    // MANIFEST_BODY_MAX stops one byte past it.
    int32_t received;
    bool body_failed;
    // The body failed by running past MIRROR_BODY_LIMIT_MS.
    bool body_slow;
    // Of the body; meaningful for a complete body of 1 to MANIFEST_BODY_MAX bytes.
    ManifestRule rule;
};

// One entry of MANIFEST_URLS, as stage 1 tries it: true when its manifest
// was accepted into `release`, which is otherwise untouched. For a build
// that pins a publisher (`pinned`), a manifest must also keep
// pinned_version_rule.
bool try_mirror(HttpsSession session, const char* url, bool pinned, ReleaseInfo* release,
                MirrorAttempt* attempt);

// One entry of MANIFEST_URLS as a walk left it.
struct MirrorOutcome {
    // False for an empty entry, and for entries after the one chosen when the
    // walk stopped there.
    bool tried;
    bool accepted;
    MirrorAttempt attempt;
    // Accepted entries only.
    ReleaseInfo release;
};

// What each entry of MANIFEST_URLS answered, for the choice among them:
// stage 1 fills it up to the first accepted entry, the release tool fills
// every entry.
extern MirrorOutcome g_mirror_outcomes[MANIFEST_URL_COUNT];

// Tries entry `index` of MANIFEST_URLS into `outcome` unless it is empty;
// true when its manifest was accepted (as try_mirror accepts it).
bool try_entry(HttpsSession session, int index, bool pinned, MirrorOutcome* outcome);

// Stage 1's choice, made silently from the entries' outcomes.
struct ManifestChoice {
    // The index of the first accepted entry, -1 for the built-in release.
    int32_t entry;
    ReleaseInfo release;
    const char* label;
};
void choose_manifest(const MirrorOutcome (&outcomes)[MANIFEST_URL_COUNT], ManifestChoice* choice);

// Stage 1: the entries in order up to the first accepted one (as try_mirror
// accepts it), then the choice. Prints the release line.
void fetch_manifest(HttpsSession probe_session, bool pinned, ReleaseInfo* release);
extern const char BUILTIN_LABEL[];
// The source label of an accepted manifest, by the content of its URL.
const char* source_label_for(const char* url);
