#pragma once

#include "net/https.h"
#include "nodes/node_table.h"

inline constexpr uint32_t PROBE_READ_SIZE = 2048;
// Stage 2's line for a probed node: its label, then its latency, or "-".
inline constexpr char PROBE_LINE_REACHABLE[] = "   %-24s  %5u ms  [可达/OK]\n";
inline constexpr char PROBE_LINE_UNREACHABLE[] = "   %-24s  %5s ms  [不可达/FAIL]\n";

// How a probe ended: the step that failed (DONE once the answer was 200 or
// 206) and, past that, whether its first body bytes failed to come.
struct ProbeAttempt {
    GetStep step;
    uint32_t status;
    bool body_failed;
};

// One node as stage 2 probes it: sets `reachable` and `latency_ms`, and
// `attempt` when given; prints nothing. Closes everything it opened.
void probe_node(HttpsSession probe_session, NodeEntry* entry, ProbeAttempt* attempt = nullptr);
// Stage 2: probes every entry in table order, printing each one's line as its
// probe ends. A null session leaves every entry unreachable.
void probe_nodes(HttpsSession probe_session, NodeTable* table);
// Stable sort: reachable entries first, by rising latency; ties keep their order.
void rank_nodes(NodeTable* table);
