// The download walk over a scripted transport: each node answers with a
// status, a Content-Length, a chunking and failure points taken from the
// input. Whatever arrives, a launched file must be exactly the release's
// bytes, a failed walk leaves no file, no transfer reads far past the
// release's size, and every HTTP handle is closed.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fetch/download.h"
#include "fetch/sha256.h"
#include "manifest/release.h"
#include "net/https.h"
#include "nodes/node_table.h"
#include "platform/platform.h"

namespace {

constexpr uint64_t MAX_RELEASE = 120000;
constexpr int NODES = 3;

struct Input {
    const uint8_t* data;
    size_t size;
    size_t at;
    uint8_t byte() { return at < size ? data[at++] : 0; }
    uint32_t number(int bytes) {
        uint32_t v = 0;
        for (int i = 0; i < bytes; ++i) v = (v << 8) | byte();
        return v;
    }
};

struct Script {
    uint32_t status;
    bool has_length;
    uint32_t length;
    uint64_t body_size;  // what the node would send, may be "endless"
    uint32_t chunk;      // most one data_available reports
    uint64_t fail_at;    // data_available fails once this many were read
    bool short_reads;    // read_data returns less than asked
    bool corrupt;        // one byte of the body differs
    bool send_fails;
};

Script g_scripts[NODES];
int g_node;       // the node whose request is open
uint64_t g_sent;  // body bytes handed out for the open request
uint64_t g_most_sent;
int g_live;
char g_dir[64];
uint64_t g_release_size;
uintptr_t g_shell_result;
int g_token;

uint8_t body_byte(uint64_t i) { return static_cast<uint8_t>((i * 31 + 7) % 251); }

HttpHandle handle() {
    ++g_live;
    return &g_token;
}

HttpHandle fake_open_session(const char16_t*, uint32_t) { return handle(); }
bool fake_set_option(HttpHandle, uint32_t, uint32_t) { return true; }
HttpHandle fake_connect(HttpHandle, const char16_t* host, uint16_t) {
    // Hosts are "n0" .. "n2": the node's script.
    g_node = host[1] - u'0';
    return handle();
}
HttpHandle fake_open_request(HttpHandle, const char16_t*, const char16_t*, uint32_t) {
    g_sent = 0;
    return handle();
}
bool fake_add_headers(HttpHandle, const char16_t*, uint32_t) { return true; }
bool fake_send_request(HttpHandle) { return !g_scripts[g_node].send_fails; }
bool fake_receive_response(HttpHandle) { return true; }
bool fake_query_number(HttpHandle, uint32_t query, uint32_t* value) {
    const Script& s = g_scripts[g_node];
    if (query == (HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER)) {
        *value = s.status;
        return true;
    }
    if (!s.has_length) return false;
    *value = s.length;
    return true;
}
bool fake_data_available(HttpHandle, uint32_t* count) {
    const Script& s = g_scripts[g_node];
    if (g_sent >= s.fail_at) return false;
    uint64_t rest = s.body_size - g_sent;
    *count = static_cast<uint32_t>(rest < s.chunk ? rest : s.chunk);
    return true;
}
bool fake_read_data(HttpHandle, void* buffer, uint32_t max, uint32_t* read) {
    const Script& s = g_scripts[g_node];
    uint64_t rest = s.body_size - g_sent;
    uint32_t n = static_cast<uint32_t>(rest < max ? rest : max);
    if (s.short_reads && n > 1) n = n / 2 + 1;
    auto* out = static_cast<uint8_t*>(buffer);
    for (uint32_t i = 0; i < n; ++i) {
        uint64_t at = g_sent + i;
        out[i] =
            static_cast<uint8_t>(body_byte(at) ^ (s.corrupt && at == g_release_size / 2 ? 1 : 0));
    }
    g_sent += n;
    if (g_sent > g_most_sent) g_most_sent = g_sent;
    *read = n;
    return true;
}
void fake_close_handle(HttpHandle) { --g_live; }

uint32_t fake_temp_path(uint32_t capacity, char* buffer) {
    size_t n = strlen(g_dir);
    if (n + 1 > capacity) return 0;
    memcpy(buffer, g_dir, n + 1);
    return static_cast<uint32_t>(n);
}
uint64_t fake_tick() { return 0; }
uintptr_t fake_shell_open(const char*) { return g_shell_result; }

const PlatformOps* scripted_ops() {
    static PlatformOps ops = native_platform();
    ops.get_temp_path = fake_temp_path;
    ops.tick_count_ms = fake_tick;
    ops.shell_open = fake_shell_open;
    ops.http_open = fake_open_session;
    ops.http_set_option = fake_set_option;
    ops.http_connect = fake_connect;
    ops.http_open_request = fake_open_request;
    ops.http_add_headers = fake_add_headers;
    ops.http_send_request = fake_send_request;
    ops.http_receive_response = fake_receive_response;
    ops.http_query_number = fake_query_number;
    ops.http_query_data_available = fake_data_available;
    ops.http_read_data = fake_read_data;
    ops.http_close_handle = fake_close_handle;
    return &ops;
}

Script read_script(Input* in) {
    static const uint32_t statuses[] = {200, 206, 200, 206, 204, 301, 404, 500};
    Script s{};
    uint8_t flags = in->byte();
    s.status = statuses[flags & 7];
    s.has_length = (flags & 8) != 0;
    s.short_reads = (flags & 16) != 0;
    s.corrupt = (flags & 32) != 0;
    s.send_fails = (flags & 64) != 0;
    uint8_t shape = in->byte();
    switch (shape & 3) {
        case 0: s.body_size = g_release_size; break;
        case 1: s.body_size = UINT64_MAX / 2; break;  // endless
        case 2: s.body_size = g_release_size + 1 + in->number(2); break;
        default: s.body_size = in->number(3) % (2 * MAX_RELEASE); break;
    }
    s.length = (shape & 4) != 0 ? static_cast<uint32_t>(g_release_size) : in->number(4);
    s.chunk = 1 + in->number(3) % 200000;
    s.fail_at = (shape & 8) != 0 ? in->number(3) : UINT64_MAX;
    return s;
}

bool exists(const char* path) {
    struct stat st;
    return stat(path, &st) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (freopen("/dev/null", "w", stdout) == nullptr) abort();
    char dir[] = "/tmp/fuzz-transfer-XXXXXX";
    if (mkdtemp(dir) == nullptr) abort();
    snprintf(g_dir, sizeof g_dir, "%s/", dir);
    platform_install(scripted_ops());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in{data, size, 0};
    g_release_size = 1 + in.number(3) % MAX_RELEASE;
    g_shell_result = (in.byte() & 1) != 0 ? 42 : 2;
    for (Script& s : g_scripts) s = read_script(&in);

    // The release's digest is that of the pattern every node means to send.
    uint8_t* expected = static_cast<uint8_t*>(malloc(g_release_size));
    for (uint64_t i = 0; i < g_release_size; ++i) expected[i] = body_byte(i);
    memset(&g_release, 0, sizeof g_release);
    snprintf(g_release.file_name, sizeof g_release.file_name, "Fuzz-setup.exe");
    g_release.size = g_release_size;
    sha256_digest_bytes(expected, g_release_size, g_release.sha256_hex);

    memset(&g_node_table, 0, sizeof g_node_table);
    for (int i = 0; i < NODES; ++i) {
        NodeEntry& e = g_node_table.entries[i];
        snprintf(e.url, sizeof e.url, "https://n%d/Fuzz-setup.exe", i);
        e.label = NODE_LABELS[i];
        e.reachable = 1;
    }
    g_node_table.count = NODES;

    char path[128];
    snprintf(path, sizeof path, "%sFuzz-setup.exe", g_dir);
    unlink(path);
    g_most_sent = 0;
    HttpsSession session = open_session(DOWNLOAD_TIMEOUTS);
    WalkResult walk = fetch_and_launch(session, path, nullptr);
    close_session(session);

    if (g_live != 0) abort();
    // One buffer's worth past the release's size is the most a transfer takes.
    if (g_most_sent > g_release_size + TRANSFER_BUFFER_SIZE) abort();
    if (walk == WalkResult::NOTHING_VERIFIED && exists(path)) abort();
    if (walk != WalkResult::NOTHING_VERIFIED) {
        FILE* f = fopen(path, "rb");
        if (f == nullptr) abort();
        uint8_t* got = static_cast<uint8_t*>(malloc(g_release_size + 1));
        size_t n = fread(got, 1, g_release_size + 1, f);
        fclose(f);
        if (n != g_release_size || memcmp(got, expected, n) != 0) abort();
        free(got);
    }
    unlink(path);
    free(expected);
    return 0;
}
