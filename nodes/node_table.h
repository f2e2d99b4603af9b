// The candidate download nodes of one run.
#pragma once

#include <cstdint>

#include "manifest/release.h"

inline constexpr int NODE_CAPACITY = 8;
inline constexpr int NODE_URL_CAPACITY = 600;
inline constexpr int RELEASE_URL_CAPACITY = 320;
inline constexpr uint32_t LATENCY_UNMEASURED = 0xFFFFFFFFu;

struct NodeEntry {
    char url[NODE_URL_CAPACITY];
    const char* label;
    int32_t reachable;
    uint32_t latency_ms;
};

struct NodeTable {
    NodeEntry entries[NODE_CAPACITY];
    int32_t count;
};

extern const char* const NODE_LABELS[NODE_CAPACITY];

// The run's table.
extern NodeTable g_node_table;

void add_node(NodeTable* table, const char* label, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// Candidate list with explicit proxy prefixes, so tests can switch slots off.
void build_candidates_with(NodeTable* table, const ReleaseInfo& release,
                           const char* const (&proxy_prefixes)[3]);
void build_candidates(NodeTable* table, const ReleaseInfo& release);
