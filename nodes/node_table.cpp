#include "nodes/node_table.h"

#include <cstdarg>
#include <cstdio>

#include "nodes/urls.h"

const char* const NODE_LABELS[NODE_CAPACITY] = {
    "节点A/Node A", "节点B/Node B", "节点C/Node C", "节点D/Node D",
    "节点E/Node E", "节点F/Node F", "节点G/Node G", "节点H/Node H",
};

NodeTable g_node_table;

void add_node(NodeTable* table, const char* label, const char* format, ...) {
    if (table->count > NODE_CAPACITY - 1) return;
    NodeEntry& entry = table->entries[table->count];
    va_list args;
    va_start(args, format);
    vsnprintf(entry.url, sizeof entry.url, format, args);
    va_end(args);
    entry.label = label;
    entry.reachable = 0;
    entry.latency_ms = LATENCY_UNMEASURED;
    table->count += 1;
}

void build_candidates_with(NodeTable* table, const ReleaseInfo& release,
                           const char* const (&proxy_prefixes)[3]) {
    char release_url[RELEASE_URL_CAPACITY];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    snprintf(release_url, sizeof release_url, RELEASE_URL_FORMAT, release.version,
             release.file_name);
#pragma GCC diagnostic pop
    // The label is looked up only for a slot that exists.
    auto next_label = [table]() {
        return table->count < NODE_CAPACITY ? NODE_LABELS[table->count] : nullptr;
    };
    add_node(table, next_label(), "%s/%s", MODEL_HUB_BASE, release.file_name);
    add_node(table, next_label(), "%s", release_url);
    for (const char* prefix : proxy_prefixes)
        if (prefix[0] != '\0') add_node(table, next_label(), "%s%s", prefix, release_url);
    add_node(table, next_label(), "%s/%s", DATASET_HUB_BASE, release.file_name);
}

void build_candidates(NodeTable* table, const ReleaseInfo& release) {
    build_candidates_with(table, release, PROXY_PREFIXES);
}

bool reachable_after(const NodeTable& table, int32_t i) {
    return i + 1 < table.count && table.entries[i + 1].reachable != 0;
}
