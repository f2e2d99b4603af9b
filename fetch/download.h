#pragma once

#include <cstdint>
#include <cstdio>

#include "fetch/verify.h"
#include "net/https.h"
#include "nodes/node_table.h"

inline constexpr uint32_t TRANSFER_BUFFER_SIZE = 65536;

enum class WalkResult { LAUNCHED, LAUNCH_FAILED, NOTHING_VERIFIED };

// Stage 3 and 4: walks the ranked g_node_table from the top, downloading
// g_release to `installer_path` from each reachable node in turn until a file
// verifies. Once no untried node remains, or a node is given up to go back to
// a faster one, the nodes given up for their pace are downloaded again,
// fastest first, with the slow-node rule off; no node is tried more than
// twice. Prints each attempt's header and failure line and deletes the file of
// every failed attempt. A null session fails every attempt. `pin` goes to
// verify_and_launch: a file it refuses is one more failed attempt.
WalkResult fetch_and_launch(HttpsSession download_session, const char* installer_path,
                            const Pin* pin);

// How one download attempt ended.
enum class DownloadEnd {
    COMPLETE,         // the whole body is on disk and passed the size checks
    EXCHANGE_FAILED,  // begin or send failed; `step` and `status` say where
    WRONG_LENGTH,     // the announced length is not the expected size; no file made
    NO_FILE,          // the file could not be created
    TRANSFER_FAILED,  // a read broke mid-body
    WRITE_FAILED,     // a write to the file, or its close, failed
    TOO_LONG,         // more arrived than the expected size
    SLOW,             // given up: the rest would take too long at this pace
    WRONG_SIZE,       // the body ended short of the announced or expected size
};

// Bounds on a body's pace. Every read can arrive inside the receive timeout
// and a peer can still hold a download for hours, so its pace is judged on
// its own, by the platform's tick count.
// Long enough to ride out TCP slow start and a brief stall, short enough that
// a throttled node costs little before the next one is tried.
inline constexpr uint64_t SLOW_WINDOW_MS = 15000;
// How long the rest of a download may take at the last window's pace while
// another node remains: about as long as a user waits before deciding the
// installer hangs.
inline constexpr uint64_t SLOW_REST_LIMIT_MS = 120000;

// The slow-node rule's margin between paces: a node is given up for an
// untried one only below 1/PACE_MARGIN of the fastest pace measured, and to
// go back only to one given up at more than PACE_MARGIN times its pace.
inline constexpr uint64_t PACE_MARGIN = 2;
inline constexpr uint64_t MS_PER_SECOND = 1000;

// What the walk knows of the other nodes when a window closes: the slow-node
// rule's inputs besides the window. False and zeros keep a node however slow.
struct PaceStanding {
    bool untried_behind;            // a reachable node this walk has not tried yet remains
    uint64_t given_up_bytes_per_s;  // the fastest pace of a node given up earlier, 0 when none
    uint64_t fastest_bytes_per_s;   // the fastest window pace measured before it, 0 when none
};

// One closed pace window of a download, with what the run knew before it:
// the facts the slow-node rule judges.
struct PaceCheck {
    PaceStanding standing;
    uint64_t remaining;     // bytes of the release still to come when the window closed
    uint64_t window_bytes;  // what the window brought
    uint64_t window_ms;     // how long it lasted; 0 when no window closed
};

// What the slow-node rule makes of a closed window.
enum class PaceVerdict {
    KEEP,
    FOR_UNTRIED,  // given up to try a node not tried yet
    FOR_FASTER,   // given up to go back to a faster node given up earlier
};

// The slow-node rule. A node is given up only when its rest would take longer
// than SLOW_REST_LIMIT_MS at the window's pace, and only for a better chance:
// an untried node while the pace is below half the fastest window measured so
// far (or none is measured yet), so a line slow everywhere loses at most one
// node; else a node given up earlier at more than twice this pace. KEEP for a
// check without a closed window.
PaceVerdict pace_verdict(const PaceCheck& check);
// A window's pace in bytes per second; 0 for a check without a closed window.
uint64_t window_pace(const PaceCheck& check);
// Notes a node given up at `window`'s pace: `standing` keeps the fastest such
// pace for the checks after it. Never fails.
void note_given_up(PaceStanding* standing, const PaceCheck& window);

struct DownloadAttempt {
    DownloadEnd end;
    GetStep step;
    uint32_t status;
    uint64_t written;       // body bytes written to the file
    uint64_t body_ms;       // from the response headers to the end of the body
    PaceCheck last_window;  // its check (window_ms 0: none closed)
};

// What a walk's attempts share.
struct DownloadRules {
    // Each window is judged against it, and raises its fastest pace.
    PaceStanding standing;
    // Where the progress line goes; null shows none.
    FILE* progress;
};

// One attempt: the node's whole body into `installer_path` (created or
// truncated). True only for COMPLETE. On failure the exchange and the file are
// closed, and the file may hold a partial body: the caller deletes it. An
// `expected_size` of 0 skips the size checks. Each closed window raises the
// fastest pace in `rules`.
bool download_from_node(HttpsSession download_session, const NodeEntry& node,
                        uint64_t expected_size, const char* installer_path, DownloadRules* rules,
                        DownloadAttempt* attempt);
