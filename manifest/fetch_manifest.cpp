#include "manifest/fetch_manifest.h"

#include <cstdio>
#include <cstring>

#include "nodes/node_table.h"

const char BUILTIN_LABEL[] = "程序内置/Built-in";

MirrorOutcome g_mirror_outcomes[MANIFEST_URL_COUNT];

namespace {

char g_manifest_buffer[MANIFEST_BUFFER_SIZE];

// Reads the body into the buffer; false for a broken body, one longer than
// MANIFEST_BODY_MAX (refused whole rather than cut), or one still unfinished
// MIRROR_BODY_LIMIT_MS after the headers (`*slow` then says so), so a
// trickling mirror cannot hold the stage.
bool read_body(HttpsExchange* exchange, int32_t* received, bool* slow) {
    const uint32_t limit = MANIFEST_BODY_MAX + 1;
    const PlatformOps& p = platform();
    const uint64_t start = p.tick_count_ms();
    *received = 0;
    *slow = false;
    for (;;) {
        uint32_t available = 0;
        if (!data_available(exchange, &available)) return false;
        if (available == 0) return true;
        uint32_t room = limit - static_cast<uint32_t>(*received);
        uint32_t want = available < room ? available : room;
        uint32_t got = 0;
        if (!read_data(exchange, g_manifest_buffer + *received, want, &got)) return false;
        if (got == 0) return true;
        *received += static_cast<int32_t>(got);
        if (*received > MANIFEST_BODY_MAX) return false;
        *slow = p.tick_count_ms() - start > MIRROR_BODY_LIMIT_MS;
        if (*slow) return false;
    }
}

}  // namespace

bool try_mirror(HttpsSession session, const char* url, bool pinned, ReleaseInfo* release,
                MirrorAttempt* attempt) {
    *attempt = {.step = GetStep::DONE,
                .status = 0,
                .received = 0,
                .body_failed = false,
                .body_slow = false,
                .rule = ManifestRule::NONE};
    HttpsExchange exchange = {nullptr, nullptr};
    attempt->step = begin_get(session, url, nullptr, &exchange);
    if (attempt->step != GetStep::DONE) return false;
    attempt->step = send_get(&exchange, &attempt->status);
    if (attempt->step != GetStep::DONE) {
        end_get(&exchange);
        return false;
    }
    int32_t received = 0;
    bool body_ok = read_body(&exchange, &received, &attempt->body_slow);
    end_get(&exchange);
    attempt->received = received;
    attempt->body_failed = !body_ok;
    if (!body_ok || received == 0) return false;
    g_manifest_buffer[received] = '\0';
    ReleaseInfo parsed;
    attempt->rule = first_broken_rule(g_manifest_buffer, &parsed);
    if (attempt->rule == ManifestRule::NONE && pinned)
        attempt->rule = pinned_version_rule(parsed.version);
    if (attempt->rule != ManifestRule::NONE) return false;
    *release = parsed;
    return true;
}

const char* source_label_for(const char* url) {
    if (strstr(url, "modelscope") != nullptr) return NODE_LABELS[0];
    if (strstr(url, MAKER_SITE_HOST) != nullptr) return NODE_LABELS[1];
    if (strstr(url, "github") != nullptr) return NODE_LABELS[2];
    if (strstr(url, "huggingface") != nullptr) return NODE_LABELS[3];
    return BUILTIN_LABEL;
}

bool try_entry(HttpsSession session, int index, bool pinned, MirrorOutcome* outcome) {
    *outcome = {};
    const char* url = MANIFEST_URLS[index];
    if (url[0] == '\0') return false;
    outcome->tried = true;
    outcome->accepted = try_mirror(session, url, pinned, &outcome->release, &outcome->attempt);
    return outcome->accepted;
}

void choose_manifest(const MirrorOutcome (&outcomes)[MANIFEST_URL_COUNT], ManifestChoice* choice) {
    for (int i = 0; i < MANIFEST_URL_COUNT; ++i) {
        if (!outcomes[i].accepted) continue;
        *choice = {i, outcomes[i].release, source_label_for(MANIFEST_URLS[i])};
        return;
    }
    *choice = {-1, BUILTIN_RELEASE, BUILTIN_LABEL};
}

void fetch_manifest(HttpsSession probe_session, bool pinned, ReleaseInfo* release) {
    for (MirrorOutcome& o : g_mirror_outcomes) o = {};
    for (int i = 0; i < MANIFEST_URL_COUNT; ++i)
        if (try_entry(probe_session, i, pinned, &g_mirror_outcomes[i])) break;
    ManifestChoice choice;
    choose_manifest(g_mirror_outcomes, &choice);
    *release = choice.release;
    printf("   版本/Version v%s  文件/File %s  大小/Size %.1f MB  来源/Source: %s\n",
           release->version, release->file_name, static_cast<double>(release->size) / BYTES_PER_MB,
           choice.label);
}
