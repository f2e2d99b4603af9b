#include "fetch/download.h"

#include <cstdio>

#include "fetch/verify.h"
#include "manifest/release.h"

namespace {

unsigned char g_transfer_buffer[TRANSFER_BUFFER_SIZE];

void print_progress(const char* label, uint64_t percent, uint64_t written, uint32_t announced) {
    printf("\r   [%s] %3llu%%  (%.1f / %.1f MB)", label, static_cast<unsigned long long>(percent),
           static_cast<double>(written) / 1048576.0, static_cast<double>(announced) / 1048576.0);
    fflush(stdout);
}

// Streams the body into `file`; false on any failed read or write, and once
// more has arrived than the release can hold, so an endless or overlong body
// cannot fill the disk before the size checks run.
bool transfer_body(HttpsExchange* exchange, FILE* file, const char* label, uint64_t expected_size,
                   uint32_t announced, uint64_t* total_written) {
    uint32_t available = 0;
    if (!data_available(exchange, &available)) return false;
    uint64_t total = 0;
    uint64_t last_percent = ~0ull;
    while (available != 0) {
        uint32_t want = available > TRANSFER_BUFFER_SIZE ? TRANSFER_BUFFER_SIZE : available;
        uint32_t got = 0;
        if (!read_data(exchange, g_transfer_buffer, want, &got)) return false;
        if (got == 0) break;
        if (fwrite(g_transfer_buffer, 1, got, file) != got) return false;
        total += got;
        if (announced != 0) {
            uint64_t percent = total * 100u / announced;
            if (percent != last_percent) {
                print_progress(label, percent, total, announced);
                last_percent = percent;
            }
        }
        if (expected_size != 0 && total > expected_size) return false;
        if (!data_available(exchange, &available)) return false;
    }
    *total_written = total;
    return true;
}

}  // namespace

bool download_from_node(HttpsSession download_session, const NodeEntry& node,
                        uint64_t expected_size, const char* installer_path) {
    HttpsExchange exchange = {nullptr, nullptr};
    if (!begin_get(download_session, node.url, nullptr, &exchange)) return false;
    if (!send_get(&exchange)) {
        end_get(&exchange);
        return false;
    }
    uint32_t announced = query_content_length(&exchange);
    if (expected_size != 0 && announced != 0 && static_cast<uint64_t>(announced) != expected_size) {
        end_get(&exchange);
        return false;
    }
    FILE* file = fopen(installer_path, "wb");
    if (file == nullptr) {
        end_get(&exchange);
        return false;
    }
    uint64_t total = 0;
    bool transferred = transfer_body(&exchange, file, node.label, expected_size, announced, &total);
    // A failed close loses buffered bytes: the size checks below catch it only
    // when it is reported, so count it as a failed write.
    bool closed = fclose(file) == 0;
    end_get(&exchange);
    if (!transferred || !closed) return false;
    if (announced != 0 && total != announced) return false;
    if (expected_size != 0 && total != expected_size) return false;
    return true;
}

WalkResult fetch_and_launch(HttpsSession download_session, const char* installer_path) {
    const NodeTable& table = g_node_table;
    for (int32_t i = 0; i < table.count; ++i) {
        const NodeEntry& node = table.entries[i];
        if (node.reachable == 0) break;
        printf("\n[3/4] 通过最快可用节点下载 / Downloading via node: %s\n", node.label);
        fflush(stdout);
        if (!download_from_node(download_session, node, g_release.size, installer_path)) {
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
