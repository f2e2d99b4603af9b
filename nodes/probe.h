#pragma once

#include "net/https.h"
#include "nodes/node_table.h"

inline constexpr uint32_t PROBE_READ_SIZE = 2048;

// One node as stage 2 probes it: sets `reachable` and `latency_ms`, prints
// nothing.
void probe_node(HttpsSession probe_session, NodeEntry* entry);
void probe_nodes(HttpsSession probe_session, NodeTable* table);
void rank_nodes(NodeTable* table);
