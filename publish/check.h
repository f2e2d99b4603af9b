// What every mirror and node serves now, as the installer would meet it.
#pragma once

#include <cstdint>

#include "fetch/download.h"
#include "manifest/fetch_manifest.h"
#include "manifest/release.h"
#include "nodes/node_table.h"
#include "nodes/probe.h"

// Why a mirror or node is what it is, in the order of the report's words.
enum class Cause {
    OK,
    DNS,
    REFUSED,
    TIMEOUT,
    TLS_UNTRUSTED,
    TLS_NAME,
    TLS_VERSION,
    TLS,
    INSECURE_REDIRECT,
    HTTP_STATUS,
    TRANSFER,
    TOO_LARGE,
    RULE,
    SLOW,
    WRONG_SIZE,
    WRONG_DIGEST,
    // What the library could not name, or the tool's own file failing.
    OTHER,
};

struct MirrorResult {
    const char* url;
    MirrorOutcome outcome;
    Cause cause;
    // Accepted mirrors only.
    bool disagrees;
    bool lags;
};

struct NodeResult {
    ProbeAttempt probe;
    Cause probe_cause;
    bool downloaded;
    DownloadAttempt download;
    // The download's, or the probe's for a node not downloaded.
    Cause cause;
    char sha256_hex[65];
};

// One thing a user could meet, by the mirror or node slot it concerns.
enum class ProblemKind {
    MIRROR_FAILS,
    MIRROR_LAGS,
    MIRROR_DISAGREES,
    NO_MIRROR,
    NODE_UNREACHABLE,
    NODE_FAILS
};
struct Problem {
    ProblemKind kind;
    int index;
};
inline constexpr int MAX_PROBLEMS = MANIFEST_URL_COUNT + 1 + NODE_CAPACITY;

struct CheckResult {
    MirrorResult mirrors[MANIFEST_URL_COUNT];
    ManifestChoice choice;
    // The newest version any mirror names, or the chosen one.
    const char* newest_version;
    bool builtin_older;
    // Ranked as stage 2 ranks them; results by the same slot.
    NodeTable nodes;
    bool downloaded;
    NodeResult node_results[NODE_CAPACITY];
    Problem problems[MAX_PROBLEMS];
    int problem_count;
};

// Ordering of version texts: digit runs by value, other bytes as they are.
int compare_versions(const char* a, const char* b);

// Fills `result`; false when the probe session cannot be opened or, with
// `download`, there is no temporary directory.
bool run_check(bool download, CheckResult* result);

void print_table(const CheckResult& result);
void print_json(const CheckResult& result);

const char* get_step_text(GetStep step);
// The cause as a stable identifier ("tls_name") and as a short phrase.
const char* cause_id(Cause cause);
const char* cause_text(Cause cause);
// Seconds and bytes per second of a download's body.
double download_seconds(const DownloadAttempt& d);
double bytes_per_second(const DownloadAttempt& d);
