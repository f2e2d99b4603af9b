#include "fetch/download.h"

#include "fetch/verify.h"
#include "manifest/release.h"

namespace {

unsigned char g_transfer_buffer[TRANSFER_BUFFER_SIZE];

// One body on its way to the file.
struct Transfer {
    HttpsExchange* exchange;
    FILE* file;
    const char* label;
    const DownloadRules* rules;
    uint64_t expected_size;
    uint32_t announced;
    uint64_t total;
    uint64_t last_percent;
    // The current pace window: when it began and what it brought.
    uint64_t window_start;
    uint64_t window_bytes;
    uint64_t last_arrival;
};

void show_progress(Transfer* t) {
    if (t->rules->progress == nullptr || t->announced == 0) return;
    uint64_t percent = t->total * 100u / t->announced;
    if (percent == t->last_percent) return;
    t->last_percent = percent;
    fprintf(t->rules->progress, "\r   [%s] %3llu%%  (%.1f / %.1f MB)", t->label,
            static_cast<unsigned long long>(percent), static_cast<double>(t->total) / 1048576.0,
            static_cast<double>(t->announced) / 1048576.0);
    fflush(t->rules->progress);
}

// Called after each read. True when a whole window passed since the previous
// read (a window without bytes), or when a full window closes at a pace at
// which the bytes still to come would take longer than the limit.
bool window_too_slow(Transfer* t, uint64_t now) {
    bool stalled = now - t->last_arrival >= SLOW_WINDOW_MS;
    t->last_arrival = now;
    if (stalled) return true;
    uint64_t elapsed = now - t->window_start;
    if (elapsed < SLOW_WINDOW_MS) return false;
    uint64_t target = t->expected_size != 0 ? t->expected_size : t->announced;
    uint64_t remaining = target > t->total ? target - t->total : 0;
    bool slow = static_cast<double>(remaining) * static_cast<double>(elapsed) >
                static_cast<double>(SLOW_REST_LIMIT_MS) * static_cast<double>(t->window_bytes);
    t->window_start = now;
    t->window_bytes = 0;
    return slow;
}

// Streams the body into the file. Stops once more has arrived than the
// release can hold, so an endless or overlong body cannot fill the disk
// before the size checks run.
DownloadEnd transfer_body(Transfer* t) {
    uint32_t available = 0;
    if (!data_available(t->exchange, &available)) return DownloadEnd::TRANSFER_FAILED;
    while (available != 0) {
        uint32_t want = available > TRANSFER_BUFFER_SIZE ? TRANSFER_BUFFER_SIZE : available;
        uint32_t got = 0;
        if (!read_data(t->exchange, g_transfer_buffer, want, &got))
            return DownloadEnd::TRANSFER_FAILED;
        if (got == 0) break;
        if (fwrite(g_transfer_buffer, 1, got, t->file) != got) return DownloadEnd::TRANSFER_FAILED;
        t->total += got;
        t->window_bytes += got;
        show_progress(t);
        if (t->expected_size != 0 && t->total > t->expected_size) return DownloadEnd::TOO_LONG;
        if (t->rules->give_up_slow && window_too_slow(t, platform().tick_count_ms()))
            return DownloadEnd::SLOW;
        if (!data_available(t->exchange, &available)) return DownloadEnd::TRANSFER_FAILED;
    }
    return DownloadEnd::COMPLETE;
}

}  // namespace

bool download_from_node(HttpsSession download_session, const NodeEntry& node,
                        uint64_t expected_size, const char* installer_path,
                        const DownloadRules& rules, DownloadAttempt* attempt) {
    *attempt = {DownloadEnd::EXCHANGE_FAILED, GetStep::DONE, 0, 0, 0};
    HttpsExchange exchange = {nullptr, nullptr};
    attempt->step = begin_get_step(download_session, node.url, nullptr, &exchange);
    if (attempt->step != GetStep::DONE) return false;
    attempt->step = send_get_step(&exchange, &attempt->status);
    if (attempt->step != GetStep::DONE) {
        end_get(&exchange);
        return false;
    }
    uint64_t start = platform().tick_count_ms();
    uint32_t announced = query_content_length(&exchange);
    if (expected_size != 0 && announced != 0 && static_cast<uint64_t>(announced) != expected_size) {
        end_get(&exchange);
        attempt->end = DownloadEnd::WRONG_LENGTH;
        return false;
    }
    FILE* file = fopen(installer_path, "wb");
    if (file == nullptr) {
        end_get(&exchange);
        attempt->end = DownloadEnd::NO_FILE;
        return false;
    }
    Transfer t = {&exchange, file,  node.label, &rules, expected_size, announced,
                  0,         ~0ull, start,      0,      start};
    attempt->end = transfer_body(&t);
    // A failed close loses buffered bytes: the size checks below catch it only
    // when it is reported, so count it as a failed write.
    bool closed = fclose(file) == 0;
    end_get(&exchange);
    attempt->written = t.total;
    attempt->body_ms = platform().tick_count_ms() - start;
    if (attempt->end == DownloadEnd::COMPLETE && !closed)
        attempt->end = DownloadEnd::TRANSFER_FAILED;
    if (attempt->end != DownloadEnd::COMPLETE) return false;
    if ((announced != 0 && t.total != announced) ||
        (expected_size != 0 && t.total != expected_size))
        attempt->end = DownloadEnd::WRONG_SIZE;
    return attempt->end == DownloadEnd::COMPLETE;
}

WalkResult fetch_and_launch(HttpsSession download_session, const char* installer_path) {
    const NodeTable& table = g_node_table;
    for (int32_t i = 0; i < table.count; ++i) {
        const NodeEntry& node = table.entries[i];
        if (node.reachable == 0) break;
        printf("\n[3/4] 通过最快可用节点下载 / Downloading via node: %s\n", node.label);
        fflush(stdout);
        // The table is ranked reachable-first: the next entry says whether a
        // slow node has anyone behind it. A slow installer beats none.
        bool later = i + 1 < table.count && table.entries[i + 1].reachable != 0;
        DownloadRules rules = {later, stdout};
        DownloadAttempt attempt;
        if (!download_from_node(download_session, node, g_release.size, installer_path, rules,
                                &attempt)) {
            puts(
                "\r   该节点传输失败或内容不完整, 切换下一节点 / Node failed or incomplete, "
                "switching...");
            platform().delete_file(installer_path);
            continue;
        }
        putchar('\n');
        VerifyResult verdict = verify_and_launch(installer_path, g_release.sha256_hex);
        if (verdict == VerifyResult::LAUNCHED) return WalkResult::LAUNCHED;
        if (verdict == VerifyResult::LAUNCH_FAILED) return WalkResult::LAUNCH_FAILED;
    }
    return WalkResult::NOTHING_VERIFIED;
}
