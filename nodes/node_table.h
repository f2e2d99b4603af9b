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

// Appends an unprobed entry whose URL is `format` filled in, cut to fit
// NODE_URL_CAPACITY. A full table is left as it is.
void add_node(NodeTable* table, const char* label, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// Appends the candidates for `release` in stage 2's order (model hub, the
// release URL, each non-empty proxy prefix before it, dataset hub), labelled
// by slot. Tests pass their own prefixes to switch slots off.
void build_candidates_with(NodeTable* table, const ReleaseInfo& release,
                           const char* const (&proxy_prefixes)[3]);
// build_candidates_with over PROXY_PREFIXES.
void build_candidates(NodeTable* table, const ReleaseInfo& release);
// In a ranked table, whether a reachable entry comes after slot `i`: one that
// a walk down the table has not tried yet.
bool reachable_after(const NodeTable& table, int32_t i);
