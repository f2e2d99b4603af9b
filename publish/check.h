// What every mirror and node serves now, as the installer would meet it.
#pragma once

#include <cstdint>

#include "manifest/fetch_manifest.h"
#include "manifest/release.h"
#include "nodes/node_table.h"
#include "nodes/urls.h"

struct MirrorResult {
    const char* url;
    bool skipped;
    bool accepted;
    MirrorAttempt attempt;
    ReleaseInfo release;
    // Accepted mirrors only.
    bool disagrees;
    bool lags;
};

enum class DownloadVerdict {
    NOT_TRIED,
    GOOD,
    EXCHANGE_FAILED,
    NO_FILE,
    TRANSFER_FAILED,
    TOO_LONG,
    WRONG_SIZE,
    WRONG_DIGEST,
    SLOW
};

struct DownloadResult {
    DownloadVerdict verdict;
    GetStep step;
    uint32_t status;
    uint64_t bytes;
    char sha256_hex[65];
};

struct CheckResult {
    MirrorResult mirrors[MANIFEST_URL_COUNT];
    // The entry the installer takes, -1 for the built-in release.
    int chosen;
    const char* source_label;
    ReleaseInfo release;
    // The newest version any mirror names, or the chosen one.
    const char* newest_version;
    bool builtin_older;
    // Ranked as stage 2 ranks them; downloads by the same slot.
    NodeTable nodes;
    bool downloaded;
    DownloadResult downloads[NODE_CAPACITY];
    int problems;
};

// Ordering of version texts: digit runs by value, other bytes as they are.
int compare_versions(const char* a, const char* b);

// Fills `result`; false when the probe session cannot be opened or, with
// `download`, there is no temporary directory.
bool run_check(bool download, CheckResult* result);

void print_table(const CheckResult& result);
void print_json(const CheckResult& result);

const char* get_step_text(GetStep step);
