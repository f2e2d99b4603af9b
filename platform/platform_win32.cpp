// The real Windows APIs behind the platform seam.
// windows.h first: the others build on its types.
#include <windows.h>
//
#include <shellapi.h>
#include <winhttp.h>

#include "platform/platform.h"

namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 text is passed as wchar_t");

const wchar_t* wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }

void set_console_output_cp(uint32_t cp) { (void)SetConsoleOutputCP(cp); }
void set_console_input_cp(uint32_t cp) { (void)SetConsoleCP(cp); }

uint32_t get_temp_path(uint32_t capacity, char* buffer) {
    DWORD length = GetTempPathA(capacity, buffer);
    // A long TMP makes GetTempPathA report the size it needs, buffer untouched.
    if (length == 0 || length >= capacity) return 0;
    return length;
}

uint64_t tick_count_ms() { return GetTickCount64(); }

void delete_file(const char* path) { (void)DeleteFileA(path); }

int utf8_to_utf16(const char* text, char16_t* out, int capacity) {
    return MultiByteToWideChar(CP_UTF8, 0, text, -1, reinterpret_cast<wchar_t*>(out), capacity);
}

uintptr_t shell_open(const char* path) {
    HINSTANCE result = ShellExecuteA(nullptr, "open", path, nullptr, nullptr, SW_SHOWNORMAL);
    return reinterpret_cast<uintptr_t>(result);
}

HttpHandle http_open(const char16_t* agent, uint32_t access_type) {
    return WinHttpOpen(wide(agent), access_type, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
}

bool http_set_option(HttpHandle session, uint32_t option, uint32_t value) {
    DWORD v = value;
    return WinHttpSetOption(session, option, &v, sizeof v) != FALSE;
}

HttpHandle http_connect(HttpHandle session, const char16_t* host, uint16_t port) {
    return WinHttpConnect(session, wide(host), port, 0);
}

HttpHandle http_open_request(HttpHandle connection, const char16_t* verb, const char16_t* path,
                             uint32_t flags) {
    return WinHttpOpenRequest(connection, wide(verb), wide(path), nullptr, WINHTTP_NO_REFERER,
                              WINHTTP_DEFAULT_ACCEPT_TYPES, flags);
}

bool http_add_headers(HttpHandle request, const char16_t* header, uint32_t flags) {
    return WinHttpAddRequestHeaders(request, wide(header), static_cast<DWORD>(-1L), flags) != FALSE;
}

bool http_send_request(HttpHandle request) {
    return WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0,
                              0, 0) != FALSE;
}

bool http_receive_response(HttpHandle request) {
    return WinHttpReceiveResponse(request, nullptr) != FALSE;
}

bool http_query_number(HttpHandle request, uint32_t query, uint32_t* value) {
    DWORD number = 0;
    DWORD length = sizeof number;
    BOOL ok = WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, &number, &length,
                                  WINHTTP_NO_HEADER_INDEX);
    *value = number;
    return ok != FALSE;
}

bool http_query_data_available(HttpHandle request, uint32_t* count) {
    DWORD n = 0;
    BOOL ok = WinHttpQueryDataAvailable(request, &n);
    *count = n;
    return ok != FALSE;
}

bool http_read_data(HttpHandle request, void* buffer, uint32_t max, uint32_t* read) {
    DWORD n = 0;
    BOOL ok = WinHttpReadData(request, buffer, max, &n);
    *read = n;
    return ok != FALSE;
}

void http_close_handle(HttpHandle handle) { (void)WinHttpCloseHandle(handle); }

const PlatformOps WIN32_OPS = {
    set_console_output_cp, set_console_input_cp,  get_temp_path,     tick_count_ms,
    delete_file,           utf8_to_utf16,         shell_open,        http_open,
    http_set_option,       http_connect,          http_open_request, http_add_headers,
    http_send_request,     http_receive_response, http_query_number, http_query_data_available,
    http_read_data,        http_close_handle,
};

}  // namespace

const PlatformOps& native_platform() { return WIN32_OPS; }
