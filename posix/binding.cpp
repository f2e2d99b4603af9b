// Stand-ins for the Windows kernel and shell operations.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "posix/clock.h"
#include "posix/http.h"
#include "posix/signature.h"
#include "posix/text.h"

extern char** environ;

namespace {

// The terminal takes UTF-8 as it is, stdio's buffering already writes whole
// lines to it, and a terminal window stays when the program ends.
void console_begin() {}
bool console_is_own() { return false; }
void discard_input() {}
void wait_for_enter() {}
void console_end() {}
bool stderr_is_terminal() { return isatty(fileno(stderr)) != 0; }
// POSIX streams never translate line ends.
void stdout_binary() {}

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

void delete_file(const char* path) { (void)unlink(path); }

// POSIX has no share modes: the stream keeps what it opened, even once the
// name is replaced or removed, but a writer can still change it in place.
FILE* open_held(const char* path) { return fopen(path, "rb"); }

// The shell's "open": xdg-open from PATH, waited for; its exit status is
// mapped to the shell's codes. What xdg-open starts is not waited for.
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
    .console_begin = console_begin,
    .console_is_own = console_is_own,
    .discard_input = discard_input,
    .wait_for_enter = wait_for_enter,
    .console_end = console_end,
    .stderr_is_terminal = stderr_is_terminal,
    .stdout_binary = stdout_binary,
    .get_temp_path = get_temp_path,
    .tick_count_ms = posix_now_ms,
    .delete_file = delete_file,
    .utf8_to_utf16 = posix_utf8_to_utf16,
    .open_held = open_held,
    .check_signature = posix_check_signature,
    .shell_open = shell_open,
    .http_open = posix_http_open,
    .http_set_option = posix_http_set_option,
    .http_connect = posix_http_connect,
    .http_open_request = posix_http_open_request,
    .http_add_headers = posix_http_add_headers,
    .http_send_request = posix_http_send_request,
    .http_receive_response = posix_http_receive_response,
    .http_query_number = posix_http_query_number,
    .http_query_data_available = posix_http_query_data_available,
    .http_read_data = posix_http_read_data,
    .http_close_handle = posix_http_close_handle,
    .http_take_failure = posix_http_take_failure,
};

}  // namespace

const PlatformOps& native_platform() { return POSIX_OPS; }
