// The real Windows APIs behind the platform seam.
// windows.h first: the others build on its types.
#include <windows.h>
//
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#include <winhttp.h>

#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "publisher.h"
#include "win32/load.h"
#include "win32/signature.h"
#include "win32/winhttp_failure.h"

namespace {

// The program is run from Downloads folders, where a page can drop a DLL
// beside it. Before anything else can load one, the default search is cut
// down to System32, which also covers what SHELL32 and WINHTTP load later
// for themselves (the static imports are KnownDLLs and never searched for).
void NTAPI restrict_dll_search(PVOID, DWORD reason, PVOID) {
    if (reason == DLL_PROCESS_ATTACH) (void)SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

// WINHTTP is not a KnownDLL: imported, it would be looked for in the
// program's folder first. So it is loaded by hand from System32 and bound by
// name; without it or any of its functions, every session is refused.
struct WinHttpApi {
    decltype(&WinHttpOpen) open;
    decltype(&WinHttpSetOption) set_option;
    decltype(&WinHttpConnect) connect;
    decltype(&WinHttpOpenRequest) open_request;
    decltype(&WinHttpAddRequestHeaders) add_request_headers;
    decltype(&WinHttpSendRequest) send_request;
    decltype(&WinHttpReceiveResponse) receive_response;
    decltype(&WinHttpQueryHeaders) query_headers;
    decltype(&WinHttpQueryDataAvailable) query_data_available;
    decltype(&WinHttpReadData) read_data;
    decltype(&WinHttpCloseHandle) close_handle;
    decltype(&WinHttpSetStatusCallback) set_status_callback;
};
// Its functions' names, in the record's order, each ended by a NUL.
constexpr int WINHTTP_FUNCTIONS = sizeof(WinHttpApi) / sizeof(FARPROC);
const char WINHTTP_NAMES[] =
    "WinHttpOpen\0WinHttpSetOption\0WinHttpConnect\0WinHttpOpenRequest\0"
    "WinHttpAddRequestHeaders\0WinHttpSendRequest\0WinHttpReceiveResponse\0"
    "WinHttpQueryHeaders\0WinHttpQueryDataAvailable\0WinHttpReadData\0WinHttpCloseHandle\0"
    "WinHttpSetStatusCallback";

WinHttpApi g_winhttp;
bool g_winhttp_tried = false;
bool g_winhttp_bound = false;

bool winhttp_ready() {
    if (g_winhttp_tried) return g_winhttp_bound;
    g_winhttp_tried = true;
    HMODULE module = system_library(L"winhttp.dll");
    if (module == nullptr) return false;
    g_winhttp_bound = bind_all(module, WINHTTP_NAMES, WINHTTP_FUNCTIONS, &g_winhttp);
    if (!g_winhttp_bound) (void)FreeLibrary(module);
    return g_winhttp_bound;
}

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 text is passed as wchar_t");

HttpFailure g_failure = HttpFailure::NONE;
// Flags of the last secure-failure notification, for the failure it explains.
DWORD g_secure_flags = 0;

// A synchronous request notifies on the calling thread, inside the call that
// then fails.
void CALLBACK on_status(HINTERNET, DWORD_PTR, DWORD status, LPVOID info, DWORD length) {
    if (status == WINHTTP_CALLBACK_STATUS_SECURE_FAILURE && info != nullptr &&
        length >= sizeof(DWORD))
        g_secure_flags |= *static_cast<const DWORD*>(info);
}

// Called first thing after a failed call, before anything can overwrite the
// thread's last error.
void note_failure(bool in_body) {
    DWORD error = GetLastError();
    g_failure = winhttp_failure_cause(error, g_secure_flags, in_body);
    g_secure_flags = 0;
}

// Passes `result` through; a failed one records the cause GetLastError
// and the secure-failure flags name.
template <typename T>
T recording_last_error(T result, bool in_body = false) {
    if (!result) note_failure(in_body);
    return result;
}

const wchar_t* wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }

// The console as the run found it; a value of 0 was not read and is not put
// back. Written before the control handler is registered, read only after.
UINT g_found_output_cp = 0;
UINT g_found_input_cp = 0;
DWORD g_found_input_mode = 0;
bool g_input_mode_found = false;

// The control handler runs on a thread of its own while the run goes on, and
// the process ends right after it. Every console change takes this lock, and
// none is made once the console was put back: a switch landing after the
// handler's restore would leave the shell in UTF-8 with QuickEdit off.
SRWLOCK g_console_lock = SRWLOCK_INIT;
bool g_console_restored = false;

// MinGW's printf hands an unbuffered stream one character at a time, and each
// reaches the console as its own write, splitting UTF-8 sequences. Buffered,
// a line goes out whole at the next fflush; the program flushes before every
// step that blocks. Larger than any text printed between two flushes; a
// progress line may go to standard error.
char g_stdout_buffer[4096];
char g_stderr_buffer[1024];

// Once only, whichever thread comes first; the caller holds the lock.
void restore_console() {
    if (g_console_restored) return;
    g_console_restored = true;
    // With EXTENDED_FLAGS the QuickEdit bit is applied as found, on or off.
    if (g_input_mode_found)
        (void)SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE),
                             g_found_input_mode | ENABLE_EXTENDED_FLAGS);
    if (g_found_input_cp != 0) (void)SetConsoleCP(g_found_input_cp);
    if (g_found_output_cp != 0) (void)SetConsoleOutputCP(g_found_output_cp);
}

// Ctrl+C, Ctrl+Break and the close button end the process by the default
// handler; the console (a shell's, say) is put back first.
BOOL WINAPI restore_on_console_event(DWORD) {
    AcquireSRWLockExclusive(&g_console_lock);
    restore_console();
    ReleaseSRWLockExclusive(&g_console_lock);
    return FALSE;
}

void console_begin() {
    (void)setvbuf(stdout, g_stdout_buffer, _IOFBF, sizeof g_stdout_buffer);
    (void)setvbuf(stderr, g_stderr_buffer, _IOFBF, sizeof g_stderr_buffer);
    g_console_restored = false;
    g_found_output_cp = GetConsoleOutputCP();
    g_found_input_cp = GetConsoleCP();
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    g_input_mode_found = GetConsoleMode(input, &g_found_input_mode) != FALSE;
    (void)SetConsoleCtrlHandler(restore_on_console_event, TRUE);
    AcquireSRWLockExclusive(&g_console_lock);
    if (!g_console_restored) {
        (void)SetConsoleOutputCP(CP_UTF8);
        (void)SetConsoleCP(CP_UTF8);
        // A click would start a selection that blocks the next write, and
        // with it the progress line and the transfer.
        if (g_input_mode_found)
            (void)SetConsoleMode(input, (g_found_input_mode | ENABLE_EXTENDED_FLAGS) &
                                            ~static_cast<DWORD>(ENABLE_QUICK_EDIT_MODE));
    }
    ReleaseSRWLockExclusive(&g_console_lock);
}

bool console_is_own() {
    DWORD mode = 0;
    if (GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) == FALSE ||
        GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) == FALSE)
        return false;
    DWORD processes[2];
    return GetConsoleProcessList(processes, 2) == 1;
}

// Straight from the console, past the C runtime's buffer and code page, in
// line mode whatever the mode was: one read returns at Enter.
void discard_input() { (void)FlushConsoleInputBuffer(GetStdHandle(STD_INPUT_HANDLE)); }

void wait_for_enter() {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    AcquireSRWLockExclusive(&g_console_lock);
    if (!g_console_restored)
        (void)SetConsoleMode(input, ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT |
                                        ENABLE_EXTENDED_FLAGS);
    ReleaseSRWLockExclusive(&g_console_lock);
    wchar_t line[64];
    DWORD read = 0;
    (void)ReadConsoleW(input, line, 64, &read, nullptr);
}

void console_end() {
    AcquireSRWLockExclusive(&g_console_lock);
    restore_console();
    ReleaseSRWLockExclusive(&g_console_lock);
    (void)SetConsoleCtrlHandler(restore_on_console_event, FALSE);
}

// The standard streams serve the release tool alone. The installer, which
// never asks, compiles this file itself with VARNEL_INSTALLER and leaves
// them null: it carries neither their code nor their imports.
#ifdef VARNEL_INSTALLER
constexpr bool STREAMS_ASKED = false;
#else
constexpr bool STREAMS_ASKED = true;
#endif

bool stderr_is_terminal() { return _isatty(_fileno(stderr)) != 0; }

void stdout_binary() { (void)_setmode(_fileno(stdout), _O_BINARY); }

uint32_t get_temp_path(uint32_t capacity, char* buffer) {
    DWORD length = GetTempPathA(capacity, buffer);
    // A long TMP makes GetTempPathA report the size it needs, buffer untouched.
    if (length == 0 || length >= capacity) return 0;
    return length;
}

uint64_t tick_count_ms() { return GetTickCount64(); }

void delete_file(const char* path) { (void)DeleteFileA(path); }

// SHELL32 is loaded only to start the installer, and from System32 with its
// dependencies: imported, its own imports (SHCORE under Wine) were looked for
// beside the program before main.
uintptr_t shell_open(const char* path) {
    HMODULE module = system_library(L"shell32.dll");
    decltype(&ShellExecuteA) shell_execute = nullptr;
    if (!bind_all(module, "ShellExecuteA", 1, &shell_execute)) return SE_ERR_DLLNOTFOUND;
    HINSTANCE result = shell_execute(nullptr, "open", path, nullptr, nullptr, SW_SHOWNORMAL);
    return reinterpret_cast<uintptr_t>(result);
}

// A handle with only FILE_SHARE_READ: the shell's start still opens the
// file for reading and executing, but nobody can write or delete it.
FILE* open_held(const char* path) {
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDONLY | _O_BINARY);
    if (fd == -1) {
        (void)CloseHandle(file);
        return nullptr;
    }
    FILE* stream = _fdopen(fd, "rb");
    // The descriptor owns the handle now.
    if (stream == nullptr) (void)_close(fd);
    return stream;
}

int utf8_to_utf16(const char* text, char16_t* out, int capacity) {
    return MultiByteToWideChar(CP_UTF8, 0, text, -1, reinterpret_cast<wchar_t*>(out), capacity);
}

HttpHandle http_open(const char16_t* agent, uint32_t access_type) {
    if (!winhttp_ready()) return nullptr;
    return g_winhttp.open(wide(agent), access_type, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS,
                          0);
}

bool http_set_option(HttpHandle session, uint32_t option, uint32_t value) {
    DWORD v = value;
    return g_winhttp.set_option(session, option, &v, sizeof v) != FALSE;
}

// Every other call takes a handle that only a bound library can have made; a
// null session can still reach this one.
HttpHandle http_connect(HttpHandle session, const char16_t* host, uint16_t port) {
    if (!g_winhttp_bound) {
        g_failure = HttpFailure::OTHER;
        return nullptr;
    }
    HttpHandle connection = recording_last_error(g_winhttp.connect(session, wide(host), port, 0));
    // The request made on it inherits the callback.
    if (connection != nullptr)
        (void)g_winhttp.set_status_callback(connection, on_status,
                                            WINHTTP_CALLBACK_FLAG_SECURE_FAILURE, 0);
    return connection;
}

HttpHandle http_open_request(HttpHandle connection, const char16_t* verb, const char16_t* path,
                             uint32_t flags) {
    return recording_last_error(g_winhttp.open_request(connection, wide(verb), wide(path), nullptr,
                                                       WINHTTP_NO_REFERER,
                                                       WINHTTP_DEFAULT_ACCEPT_TYPES, flags));
}

bool http_add_headers(HttpHandle request, const char16_t* header, uint32_t flags) {
    return recording_last_error(g_winhttp.add_request_headers(request, wide(header),
                                                              static_cast<DWORD>(-1L),
                                                              flags) != FALSE);
}

bool http_send_request(HttpHandle request) {
    g_secure_flags = 0;
    return recording_last_error(g_winhttp.send_request(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                                       WINHTTP_NO_REQUEST_DATA, 0, 0, 0) != FALSE);
}

bool http_receive_response(HttpHandle request) {
    g_secure_flags = 0;
    return recording_last_error(g_winhttp.receive_response(request, nullptr) != FALSE);
}

bool http_query_number(HttpHandle request, uint32_t query, uint32_t* value) {
    DWORD number = 0;
    DWORD length = sizeof number;
    bool ok = recording_last_error(
        g_winhttp.query_headers(request, query, WINHTTP_HEADER_NAME_BY_INDEX, &number, &length,
                                WINHTTP_NO_HEADER_INDEX) != FALSE);
    *value = number;
    return ok;
}

bool http_query_data_available(HttpHandle request, uint32_t* count) {
    DWORD n = 0;
    bool ok = recording_last_error(g_winhttp.query_data_available(request, &n) != FALSE, true);
    *count = n;
    return ok;
}

bool http_read_data(HttpHandle request, void* buffer, uint32_t max, uint32_t* read) {
    DWORD n = 0;
    bool ok = recording_last_error(g_winhttp.read_data(request, buffer, max, &n) != FALSE, true);
    *read = n;
    return ok;
}

void http_close_handle(HttpHandle handle) { (void)g_winhttp.close_handle(handle); }

HttpFailure http_take_failure() {
    HttpFailure failure = g_failure;
    g_failure = HttpFailure::NONE;
    return failure;
}

const PlatformOps WIN32_OPS = {
    .console_begin = console_begin,
    .console_is_own = console_is_own,
    .discard_input = discard_input,
    .wait_for_enter = wait_for_enter,
    .console_end = console_end,
    .stderr_is_terminal = STREAMS_ASKED ? stderr_is_terminal : nullptr,
    .stdout_binary = STREAMS_ASKED ? stdout_binary : nullptr,
    .get_temp_path = get_temp_path,
    .tick_count_ms = tick_count_ms,
    .delete_file = delete_file,
    .utf8_to_utf16 = utf8_to_utf16,
    .open_held = open_held,
    // Only a program that names a publisher checks signatures: one that
    // names none carries none of this, and never calls it.
    .check_signature = BUILD_PUBLISHER[0] != '\0' ? win32_check_signature : nullptr,
    .shell_open = shell_open,
    .http_open = http_open,
    .http_set_option = http_set_option,
    .http_connect = http_connect,
    .http_open_request = http_open_request,
    .http_add_headers = http_add_headers,
    .http_send_request = http_send_request,
    .http_receive_response = http_receive_response,
    .http_query_number = http_query_number,
    .http_query_data_available = http_query_data_available,
    .http_read_data = http_read_data,
    .http_close_handle = http_close_handle,
    .http_take_failure = http_take_failure,
};

}  // namespace

bool bind_all(HMODULE module, const char* names, int count, void* table) {
    // A record of function pointers, all of one size, read as an array.
    auto* slots = static_cast<FARPROC*>(table);
    for (int i = 0; i < count; ++i, names += strlen(names) + 1) {
        slots[i] = module != nullptr ? GetProcAddress(module, names) : nullptr;
        if (slots[i] == nullptr) return false;
    }
    return true;
}

// Runs at process attach, before the C runtime starts and before main: the
// loader calls the TLS callbacks that the .CRT$XL* sections list.
extern "C" __attribute__((section(".CRT$XLB"), used))
const PIMAGE_TLS_CALLBACK varnel_restrict_dll_search = restrict_dll_search;

const PlatformOps& native_platform() { return WIN32_OPS; }
