#include "fetch/download.h"

#include "fetch/verify.h"
#include "manifest/release.h"
#include "nodes/probe.h"

namespace {

unsigned char g_transfer_buffer[TRANSFER_BUFFER_SIZE];

// One body on its way to the file.
struct Transfer {
    HttpsExchange* exchange;
    FILE* file;
    const char* label;
    DownloadRules* rules;
    uint64_t expected_size;
    uint32_t announced;
    uint64_t total;
    uint64_t last_percent;
    uint64_t start;  // when the head was taken
    // The current pace window: when it began and what it brought.
    uint64_t window_start;
    uint64_t window_bytes;
    // The last closed window's check.
    PaceCheck last_window;
    // From the head to the file's close; 0 when no file was made.
    uint64_t body_ms;
};

void show_progress(Transfer* t) {
    if (t->rules->progress == nullptr || t->announced == 0) return;
    uint64_t percent = t->total * 100u / t->announced;
    if (percent == t->last_percent) return;
    t->last_percent = percent;
    fprintf(t->rules->progress, "\r   [%s] %3llu%%  (%.1f / %.1f MB)", t->label,
            static_cast<unsigned long long>(percent), static_cast<double>(t->total) / BYTES_PER_MB,
            static_cast<double>(t->announced) / BYTES_PER_MB);
    fflush(t->rules->progress);
}

// The check of the window that closes at `now`: a pause belongs to the
// window it falls in, so the read that ends it is judged by the window's
// whole pace, not by the gap alone.
PaceCheck window_check(const Transfer* t, uint64_t now) {
    uint64_t target = t->expected_size != 0 ? t->expected_size : t->announced;
    return {.standing = t->rules->standing,
            .remaining = target > t->total ? target - t->total : 0,
            .window_bytes = t->window_bytes,
            .window_ms = now - t->window_start};
}

// After each read: once a window has run its length, it is judged, counts
// towards the run's fastest pace, and the next one begins. True when the rule
// gives the node up.
bool pace_window_gives_up(Transfer* t) {
    uint64_t now = platform().tick_count_ms();
    // The clock is monotonic by contract; one stepped back would give an
    // absurd window, so the window starts again rather.
    if (now < t->window_start) t->window_start = now;
    if (now - t->window_start < SLOW_WINDOW_MS) return false;
    t->last_window = window_check(t, now);
    t->window_start = now;
    t->window_bytes = 0;
    uint64_t& fastest = t->rules->standing.fastest_bytes_per_s;
    uint64_t bytes_per_s = window_pace(t->last_window);
    if (bytes_per_s > fastest) fastest = bytes_per_s;
    return pace_verdict(t->last_window) != PaceVerdict::KEEP;
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
        if (fwrite(g_transfer_buffer, 1, got, t->file) != got) return DownloadEnd::WRITE_FAILED;
        t->total += got;
        t->window_bytes += got;
        show_progress(t);
        if (t->expected_size != 0 && t->total > t->expected_size) return DownloadEnd::TOO_LONG;
        if (pace_window_gives_up(t)) return DownloadEnd::SLOW;
        if (!data_available(t->exchange, &available)) return DownloadEnd::TRANSFER_FAILED;
    }
    return DownloadEnd::COMPLETE;
}

// After the head: the announced length against the release's, then the body
// into a new file, closed here before the exchange is. A failed close loses
// buffered bytes, which the size checks catch only when it is reported, so it
// counts as a failed write.
DownloadEnd receive_body(Transfer* t, const char* installer_path) {
    const uint64_t expected = t->expected_size;
    if (expected != 0 && t->announced != 0 && t->announced != expected)
        return DownloadEnd::WRONG_LENGTH;
    t->file = fopen(installer_path, "wb");
    if (t->file == nullptr) return DownloadEnd::NO_FILE;
    DownloadEnd end = transfer_body(t);
    bool closed = fclose(t->file) == 0;
    t->body_ms = platform().tick_count_ms() - t->start;
    if (end == DownloadEnd::COMPLETE && !closed) return DownloadEnd::WRITE_FAILED;
    if (end == DownloadEnd::COMPLETE && ((t->announced != 0 && t->total != t->announced) ||
                                         (expected != 0 && t->total != expected)))
        return DownloadEnd::WRONG_SIZE;
    return end;
}

}  // namespace

uint64_t window_pace(const PaceCheck& check) {
    if (check.window_ms == 0) return 0;
    return check.window_bytes * MS_PER_SECOND / check.window_ms;
}

void note_given_up(PaceStanding* standing, const PaceCheck& window) {
    uint64_t bytes_per_s = window_pace(window);
    if (bytes_per_s > standing->given_up_bytes_per_s) standing->given_up_bytes_per_s = bytes_per_s;
}

PaceVerdict pace_verdict(const PaceCheck& check) {
    if (check.window_ms == 0) return PaceVerdict::KEEP;
    // Cross-multiplied, so no division rounds a pace: the rest at the
    // window's pace against the limit, the pace against the others' (each
    // a pace times the window's ms).
    const double bytes = static_cast<double>(check.window_bytes);
    const double ms = static_cast<double>(check.window_ms);
    if (static_cast<double>(check.remaining) * ms <=
        static_cast<double>(SLOW_REST_LIMIT_MS) * bytes)
        return PaceVerdict::KEEP;
    const double margined = bytes * static_cast<double>(MS_PER_SECOND * PACE_MARGIN);
    const PaceStanding& run = check.standing;
    if (run.untried_behind)
        return run.fastest_bytes_per_s == 0 ||
                       margined < static_cast<double>(run.fastest_bytes_per_s) * ms
                   ? PaceVerdict::FOR_UNTRIED
                   : PaceVerdict::KEEP;
    return static_cast<double>(run.given_up_bytes_per_s) * ms > margined ? PaceVerdict::FOR_FASTER
                                                                         : PaceVerdict::KEEP;
}

bool download_from_node(HttpsSession download_session, const NodeEntry& node,
                        uint64_t expected_size, const char* installer_path, DownloadRules* rules,
                        DownloadAttempt* attempt) {
    *attempt = {.end = DownloadEnd::EXCHANGE_FAILED,
                .step = GetStep::DONE,
                .status = 0,
                .written = 0,
                .body_ms = 0,
                .last_window = {}};
    HttpsExchange exchange = {nullptr, nullptr};
    attempt->step = begin_get(download_session, node.url, nullptr, &exchange);
    if (attempt->step != GetStep::DONE) return false;
    attempt->step = send_get(&exchange, &attempt->status);
    if (attempt->step == GetStep::DONE) {
        uint64_t start = platform().tick_count_ms();
        Transfer t = {.exchange = &exchange,
                      .file = nullptr,
                      .label = node.label,
                      .rules = rules,
                      .expected_size = expected_size,
                      .announced = query_content_length(&exchange),
                      .total = 0,
                      .last_percent = ~0ull,
                      .start = start,
                      .window_start = start,
                      .window_bytes = 0,
                      .last_window = {},
                      .body_ms = 0};
        attempt->end = receive_body(&t, installer_path);
        attempt->written = t.total;
        attempt->last_window = t.last_window;
        attempt->body_ms = t.body_ms;
    }
    end_get(&exchange);
    return attempt->end == DownloadEnd::COMPLETE;
}

namespace {

// A node given up for its pace in the first pass, for the second.
struct GivenUp {
    int32_t index;
    uint64_t bytes_per_s;  // of the window that gave it up
};

// One node's turn: the header, the download, then the failure line and the
// deletion, or the digest and the launch.
VerifyResult try_node(HttpsSession session, const char* installer_path, const Pin* pin,
                      const NodeEntry& node, DownloadRules* rules, DownloadAttempt* attempt) {
    printf("\n[3/4] 通过最快可用节点下载 / Downloading via node: %s\n", node.label);
    fflush(stdout);
    if (!download_from_node(session, node, g_release.size, installer_path, rules, attempt)) {
        puts(
            "\r   该节点传输失败或内容不完整, 切换下一节点 / Node failed or incomplete, "
            "switching...");
        platform().delete_file(installer_path);
        return VerifyResult::TRY_NEXT_NODE;
    }
    putchar('\n');
    return verify_and_launch(installer_path, g_release.sha256_hex, g_release.version, pin);
}

// The walk's end once a file verified.
WalkResult walk_result(VerifyResult verdict) {
    return verdict == VerifyResult::LAUNCHED ? WalkResult::LAUNCHED : WalkResult::LAUNCH_FAILED;
}

// Fastest first; a stable insertion, so equal paces keep the ranking's order.
void insert_by_pace(GivenUp* list, int* count, GivenUp entry) {
    int i = *count;
    while (i > 0 && list[i - 1].bytes_per_s < entry.bytes_per_s) {
        list[i] = list[i - 1];
        --i;
    }
    list[i] = entry;
    ++*count;
}

}  // namespace

WalkResult fetch_and_launch(HttpsSession download_session, const char* installer_path,
                            const Pin* pin) {
    const NodeTable& table = g_node_table;
    GivenUp given_up[NODE_CAPACITY];
    int given_up_count = 0;
    DownloadRules rules = {.standing = {}, .progress = stdout};
    for (int32_t i = 0; i < table.count && table.entries[i].reachable != 0; ++i) {
        rules.standing.untried_behind = reachable_after(table, i);
        DownloadAttempt attempt;
        VerifyResult verdict =
            try_node(download_session, installer_path, pin, table.entries[i], &rules, &attempt);
        if (verdict != VerifyResult::TRY_NEXT_NODE) return walk_result(verdict);
        if (attempt.end != DownloadEnd::SLOW) continue;
        insert_by_pace(given_up, &given_up_count, {i, window_pace(attempt.last_window)});
        note_given_up(&rules.standing, attempt.last_window);
        if (pace_verdict(attempt.last_window) == PaceVerdict::FOR_FASTER) break;
    }
    // Every other chance is spent: a node that was delivering, however
    // slowly, gets to finish, the fastest first, with the rule off.
    rules.standing.untried_behind = false;
    rules.standing.given_up_bytes_per_s = 0;
    for (int k = 0; k < given_up_count; ++k) {
        DownloadAttempt attempt;
        VerifyResult verdict = try_node(download_session, installer_path, pin,
                                        table.entries[given_up[k].index], &rules, &attempt);
        if (verdict != VerifyResult::TRY_NEXT_NODE) return walk_result(verdict);
    }
    return WalkResult::NOTHING_VERIFIED;
}
