#pragma once

#include "net/https.h"
#include "nodes/node_table.h"

inline constexpr uint32_t PROBE_READ_SIZE = 2048;

void probe_nodes(HttpsSession probe_session, NodeTable* table);
void rank_nodes(NodeTable* table);
