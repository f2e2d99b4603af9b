#pragma once

#include <cstdint>
#include <cstdio>

#include "net/https.h"
#include "nodes/node_table.h"

inline constexpr uint32_t TRANSFER_BUFFER_SIZE = 65536;

enum class WalkResult { LAUNCHED, LAUNCH_FAILED, NOTHING_VERIFIED };

// Stage 3 and 4: walks the ranked g_node_table from the top, downloading
// g_release to `installer_path` from each reachable node in turn until a file
// verifies. Prints each attempt's header and failure line and deletes the file
// of every failed attempt. A null session fails every attempt.
WalkResult fetch_and_launch(HttpsSession download_session, const char* installer_path);

// How one download attempt ended.
enum class DownloadEnd {
    COMPLETE,         // the whole body is on disk and passed the size checks
    EXCHANGE_FAILED,  // begin or send failed; `step` and `status` say where
    WRONG_LENGTH,     // the announced length is not the expected size; no file made
    NO_FILE,          // the file could not be created
    TRANSFER_FAILED,  // a read or write broke mid-body, or the file did not close
    TOO_LONG,         // more arrived than the expected size
    SLOW,             // given up: the rest would take too long at this pace
    WRONG_SIZE,       // the body ended short of the announced or expected size
};

struct DownloadAttempt {
    DownloadEnd end;
    GetStep step;
    uint32_t status;
    uint64_t written;  // body bytes written to the file
    uint64_t body_ms;  // from the response headers to the end of the body
};

struct DownloadRules {
    // Another reachable node remains, so a slow transfer may be given up.
    bool give_up_slow;
    // Where the progress line goes; null shows none.
    FILE* progress;
};

// One attempt: the node's whole body into `installer_path` (created or
// truncated). True only for COMPLETE. On failure the exchange and the file are
// closed, and the file may hold a partial body: the caller deletes it. An
// `expected_size` of 0 skips the size checks.
bool download_from_node(HttpsSession download_session, const NodeEntry& node,
                        uint64_t expected_size, const char* installer_path,
                        const DownloadRules& rules, DownloadAttempt* attempt);
