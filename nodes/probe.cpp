#include "nodes/probe.h"

#include <cstdio>

namespace {

char g_probe_scratch[PROBE_READ_SIZE];

// Reachable first, then by latency; equal entries keep their order.
bool ranks_below(const NodeEntry& node, const NodeEntry& other) {
    if (node.reachable != other.reachable) return node.reachable < other.reachable;
    return node.latency_ms > other.latency_ms;
}

}  // namespace

void probe_node(HttpsSession session, NodeEntry* entry, ProbeAttempt* attempt) {
    ProbeAttempt local;
    ProbeAttempt& a = attempt != nullptr ? *attempt : local;
    a = {GetStep::DONE, 0, false};
    entry->reachable = 0;
    entry->latency_ms = LATENCY_UNMEASURED;
    HttpsExchange exchange = {nullptr, nullptr};
    a.step = begin_get(session, entry->url, PROBE_RANGE_HEADER, &exchange);
    if (a.step != GetStep::DONE) return;
    const PlatformOps& p = platform();
    uint64_t start = p.tick_count_ms();
    uint32_t available = 0;
    uint32_t got = 0;
    a.step = send_get(&exchange, &a.status);
    a.body_failed = a.step == GetStep::DONE &&
                    !(data_available(&exchange, &available) && available != 0 &&
                      read_data(&exchange, g_probe_scratch,
                                available < PROBE_READ_SIZE ? available : PROBE_READ_SIZE, &got) &&
                      got != 0);
    if (a.step == GetStep::DONE && !a.body_failed) {
        uint64_t stop = p.tick_count_ms();
        entry->latency_ms = static_cast<uint32_t>(stop - start);
        entry->reachable = 1;
    }
    end_get(&exchange);
}

void probe_nodes(HttpsSession probe_session, NodeTable* table) {
    for (int32_t i = 0; i < table->count; ++i) {
        NodeEntry* entry = &table->entries[i];
        probe_node(probe_session, entry);
        if (entry->reachable != 0)
            printf(PROBE_LINE_REACHABLE, entry->label, entry->latency_ms);
        else
            printf(PROBE_LINE_UNREACHABLE, entry->label, "-");
        // A person watching sees each node as it is done.
        fflush(stdout);
    }
}

void rank_nodes(NodeTable* table) {
    for (int32_t i = 1; i < table->count; ++i) {
        NodeEntry moving = table->entries[i];
        int32_t j = i;
        while (j > 0 && ranks_below(table->entries[j - 1], moving)) {
            table->entries[j] = table->entries[j - 1];
            --j;
        }
        table->entries[j] = moving;
    }
}
