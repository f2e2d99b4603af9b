// Stand-ins for the Windows kernel and shell operations.
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "platform/posix_http.h"

extern char** environ;

namespace {

// The terminal takes UTF-8 as it is, stdio's buffering already writes whole
// lines to it, and a terminal window stays when the program ends.
void console_begin() {}
bool console_is_own() { return false; }
void wait_for_enter() {}
void console_end() {
    (void)fflush(stdout);
    (void)fflush(stderr);
}

uint32_t get_temp_path(uint32_t capacity, char* buffer) {
    const char* dir = getenv("TMPDIR");
    if (dir == nullptr || dir[0] == '\0') dir = "/tmp";
    size_t length = strlen(dir);
    bool add_slash = dir[length - 1] != '/';
    size_t total = length + (add_slash ? 1 : 0);
    // A directory that does not fit with its terminator is no directory.
    if (capacity == 0 || total + 1 > capacity) return 0;
    memcpy(buffer, dir, length);
    if (add_slash) buffer[length] = '/';
    buffer[total] = '\0';
    return static_cast<uint32_t>(total);
}

uint64_t tick_count_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u +
           static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

void delete_file(const char* path) { (void)unlink(path); }

int utf8_to_utf16(const char* text, char16_t* out, int capacity) {
    if (capacity <= 0) return 0;
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    int n = 0;
    for (;;) {
        uint32_t cp;
        unsigned char c = *s;
        int extra;
        if (c < 0x80) {
            cp = c;
            extra = 0;
        } else if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1Fu;
            extra = 1;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0Fu;
            extra = 2;
        } else if ((c & 0xF8) == 0xF0) {
            cp = c & 0x07u;
            extra = 3;
        } else {
            cp = 0xFFFD;
            extra = -1;
        }
        ++s;
        for (int i = 0; i < extra; ++i) {
            if ((*s & 0xC0) != 0x80) {
                cp = 0xFFFD;
                break;
            }
            cp = (cp << 6) | (*s & 0x3Fu);
            ++s;
        }
        int units = cp >= 0x10000 ? 2 : 1;
        if (n + units > capacity) return 0;  // as MultiByteToWideChar: too small fails
        if (units == 2) {
            cp -= 0x10000;
            out[n++] = static_cast<char16_t>(0xD800 + (cp >> 10));
            out[n++] = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out[n++] = static_cast<char16_t>(cp);
        }
        if (cp == 0) return n;
    }
}

// The shell's "open": xdg-open from PATH, not waiting for what it starts.
uintptr_t shell_open(const char* path) {
    const uintptr_t SE_ERR_FNF = 2;
    const uintptr_t SE_ERR_NOASSOC = 31;
    const char* search = getenv("PATH");
    if (search == nullptr) return SE_ERR_NOASSOC;
    char candidate[4096];
    bool found = false;
    for (const char* p = search; !found;) {
        const char* end = strchr(p, ':');
        size_t length = end != nullptr ? static_cast<size_t>(end - p) : strlen(p);
        int written =
            snprintf(candidate, sizeof candidate, "%.*s/xdg-open", static_cast<int>(length), p);
        if (length > 0 && written > 0 && static_cast<size_t>(written) < sizeof candidate &&
            access(candidate, X_OK) == 0)
            found = true;
        if (end == nullptr) break;
        p = end + 1;
    }
    if (!found) return SE_ERR_NOASSOC;
    char* argv[] = {candidate, const_cast<char*>(path), nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, candidate, nullptr, nullptr, argv, environ) != 0) return SE_ERR_NOASSOC;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return SE_ERR_NOASSOC;
    switch (WEXITSTATUS(status)) {
        case 0: return 42;
        case 2: return SE_ERR_FNF;
        default: return SE_ERR_NOASSOC;
    }
}

const PlatformOps POSIX_OPS = {
    console_begin,
    console_is_own,
    wait_for_enter,
    console_end,
    get_temp_path,
    tick_count_ms,
    delete_file,
    utf8_to_utf16,
    shell_open,
    posix_http_open,
    posix_http_set_option,
    posix_http_connect,
    posix_http_open_request,
    posix_http_add_headers,
    posix_http_send_request,
    posix_http_receive_response,
    posix_http_query_number,
    posix_http_query_data_available,
    posix_http_read_data,
    posix_http_close_handle,
    posix_http_take_failure,
};

}  // namespace

const PlatformOps& native_platform() { return POSIX_OPS; }
