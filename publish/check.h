// What every mirror and node serves now, as the installer would meet it.
#pragma once

#include <cstdint>
#include <cstdio>

#include "fetch/download.h"
#include "fetch/verify.h"
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
    // A 200 or 206 answer whose body ended before its first byte.
    EMPTY_BODY,
    TOO_LARGE,
    RULE,
    // Given up for its pace, as the installer would give it up.
    SLOW,
    // As slow, but the installer keeps it: nothing better remains to try.
    // Not a problem; its file was cut off here, so it has no digest.
    SLOW_KEPT,
    WRONG_SIZE,
    WRONG_DIGEST,
    // Cut off for its pace, and what it sent so far is not the release's.
    WRONG_BYTES,
    // The release's bytes, but a signature the installer refuses.
    SIGNATURE,
    // What the library could not name.
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

// What the tool itself could not do; no node is to blame for it.
enum class ToolFault { NONE, SESSION, MAKE, WRITE, REREAD };

// A node cut off for its pace, against the release's bytes at the same offsets.
enum class CutOffBytes { NOT_CUT_OFF, SAME, DIFFER, NOT_COMPARED };

struct NodeResult {
    ProbeAttempt probe;
    Cause probe_cause;
    bool downloaded;
    DownloadAttempt download;
    // The download's, or the probe's for a node not downloaded.
    Cause cause;
    // For a node cut off for its pace: why the installer gives it up, or KEEP,
    // and its bytes against the release's (`differs_at` their first offset).
    PaceVerdict slow_verdict;
    CutOffBytes cut_off;
    uint64_t differs_at;
    char sha256_hex[SHA256_HEX_CAPACITY];
    // With a publisher named, for a file of the release's bytes: its signer,
    // or why the installer refuses its signature; else an empty text.
    PinCheck signature;
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
    // The newest version any mirror names, or the chosen one; a copy, so
    // the record can be copied.
    char newest_version[sizeof(ReleaseInfo::version)];
    bool builtin_older;
    // Ranked as stage 2 ranks them; results by the same slot.
    NodeTable nodes;
    bool downloaded;
    // Set when the download part stopped on the tool's own failure: what
    // came before it stands, the rest is not checked.
    ToolFault tool_fault;
    NodeResult node_results[NODE_CAPACITY];
    // The first MAX_PROBLEMS problems; `problem_count` counts them all.
    Problem problems[MAX_PROBLEMS];
    int problem_count;
};

// Adds a problem; past MAX_PROBLEMS it is counted but not listed, and false.
bool add_problem(CheckResult* result, ProblemKind kind, int index);
// The problems listed in `result`: at most MAX_PROBLEMS.
int listed_problems(const CheckResult& result);
// False for OK and SLOW_KEPT, the causes a user does not suffer.
bool cause_is_problem(Cause cause);
// 2 when the tool's own failure stopped the check, else 0 when nothing a
// user could meet is wrong, else 1.
int check_exit_code(const CheckResult& result);

// Ordering of version texts: digit runs by value, other bytes as they are.
int compare_versions(const char* a, const char* b);

// Fills `result`; with `publisher` named (non-empty), each file of the
// release's bytes has its signature checked as the installer checks it.
// False when the probe session cannot be opened or, with `download`, there is
// no temporary directory. The tool's own failure in the download part (its
// session, or its files: made, written, reread) ends that part with one line
// on standard error and sets `tool_fault`; no node is blamed for it. Each
// download's progress line goes to `progress`, flushed as it changes and
// ended by a line feed; null shows none.
bool run_check(bool download, const char* publisher, FILE* progress, CheckResult* result);

// Both print whole lines only, each flushed at its end, so no character of
// the report is split between two console writes.
void print_table(const CheckResult& result);
void print_json(const CheckResult& result);

const char* get_step_text(GetStep step);
// The cause as a stable identifier ("tls_name") and as a short phrase.
const char* cause_id(Cause cause);
const char* cause_text(Cause cause);
// Seconds and bytes per second of a download's body.
double download_seconds(const DownloadAttempt& d);
double bytes_per_second(const DownloadAttempt& d);
// The pace a node cut off for it was judged by: its last window's.
double decisive_bytes_per_second(const DownloadAttempt& d);
// A rate as the report shows it: MB of 1048576 bytes, as the installer
// counts them ("0.02 MB/s").
void rate_text(double bytes_per_second, char (&out)[32]);
