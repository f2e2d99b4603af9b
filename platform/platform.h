// The one seam between the program and its operating system. The program
// calls these operations only through `platform()`; the Windows build binds
// them to the real APIs, the POSIX build to small stand-ins, and unit tests
// install scripted fakes with `platform_install`.
#pragma once

#include <cstdint>

// Opaque HTTP handle: a session, a connection or a request.
typedef void* HttpHandle;

// Values of the HTTP library that the program passes through the seam; they
// are WinHTTP's own numbers so the Windows binding forwards them unchanged.
enum : uint32_t {
    HTTP_ACCESS_NO_PROXY = 1,
    HTTP_ACCESS_AUTOMATIC_PROXY = 4,
    HTTP_OPTION_RESOLVE_TIMEOUT = 2,
    HTTP_OPTION_CONNECT_TIMEOUT = 3,
    HTTP_OPTION_SEND_TIMEOUT = 5,
    HTTP_OPTION_RECEIVE_TIMEOUT = 6,
    HTTP_OPTION_SECURE_PROTOCOLS = 84,
    HTTP_PROTOCOL_TLS1_1 = 0x200,
    HTTP_PROTOCOL_TLS1_2 = 0x800,
    HTTP_FLAG_SECURE = 0x00800000,
    HTTP_ADDREQ_FLAG_ADD = 0x20000000,
    HTTP_QUERY_STATUS_CODE = 19,
    HTTP_QUERY_CONTENT_LENGTH = 5,
    HTTP_QUERY_FLAG_NUMBER = 0x20000000,
    HTTPS_PORT = 443,
};

// Why an HTTP call failed, as far as the library tells.
enum class HttpFailure : uint8_t {
    NONE,               // nothing failed since the last take
    DNS,                // name not resolved
    REFUSED,            // connection refused
    TIMEOUT,            // a step's timeout ran out
    TLS_UNTRUSTED,      // no trusted root (foreign CA, self-signed)
    TLS_NAME,           // certificate for another name
    TLS_VERSION,        // no common protocol version
    TLS,                // any other handshake failure
    INSECURE_REDIRECT,  // redirect from https to http refused
    TRANSFER,           // the connection broke mid-body
    OTHER,
};

struct PlatformOps {
    // Console: set up at the start of a run and put back at its end.
    // Remembers the console's code pages and input mode, switches both code
    // pages to UTF-8, turns QuickEdit off while input is a console, gives
    // standard output and error whole writes, and has the remembered state
    // put back if the process is ended by Ctrl+C or its window's close
    // button. Each step that fails is skipped; output still goes out as the
    // console takes it. Once the console was put back, by that handler or by
    // console_end, neither this nor wait_for_enter changes it again.
    void (*console_begin)();
    // True when standard input and output are the console and this process is
    // alone on it, as after a double-click: the window closes with the process.
    // False on any failure.
    bool (*console_is_own)();
    // Waits until Enter is pressed on the console; returns at once when input
    // cannot be read.
    void (*wait_for_enter)();
    // Flushes standard output and error, then puts back what console_begin
    // remembered. Each step that fails is skipped.
    void (*console_end)();
    // Kernel.
    // Directory text ending in a separator, or 0 when there is none or it
    // does not fit `capacity` bytes with its terminator.
    uint32_t (*get_temp_path)(uint32_t capacity, char* buffer);
    uint64_t (*tick_count_ms)();
    void (*delete_file)(const char* path);
    // UTF-8 (NUL-terminated) to UTF-16 with terminator, at most `capacity`
    // units; returns the units written, 0 on failure.
    int (*utf8_to_utf16)(const char* text, char16_t* out, int capacity);
    // The shell's "open" verb; above 32 means started, else the shell's code.
    uintptr_t (*shell_open)(const char* path);

    // HTTP client library, synchronous.
    HttpHandle (*http_open)(const char16_t* agent, uint32_t access_type);
    bool (*http_set_option)(HttpHandle session, uint32_t option, uint32_t value);
    HttpHandle (*http_connect)(HttpHandle session, const char16_t* host, uint16_t port);
    HttpHandle (*http_open_request)(HttpHandle connection, const char16_t* verb,
                                    const char16_t* path, uint32_t flags);
    bool (*http_add_headers)(HttpHandle request, const char16_t* header, uint32_t flags);
    bool (*http_send_request)(HttpHandle request);
    bool (*http_receive_response)(HttpHandle request);
    bool (*http_query_number)(HttpHandle request, uint32_t query, uint32_t* value);
    bool (*http_query_data_available)(HttpHandle request, uint32_t* count);
    bool (*http_read_data)(HttpHandle request, void* buffer, uint32_t max, uint32_t* read);
    void (*http_close_handle)(HttpHandle handle);
    // The cause of the most recent failed HTTP call since the previous take
    // (connect to read_data; a close never records, a success does not
    // clear), and clears it. NONE when nothing failed. The stand-in, which
    // returns an https-to-http redirect as the response, counts it as a
    // failure of the receive call. Only the release tool asks: it takes once
    // before an attempt and once after a failed one.
    HttpFailure (*http_take_failure)();
};

// The operations in force: the build's own unless a test installed others.
const PlatformOps& platform();
// The build's own operations (Windows APIs or the POSIX stand-ins).
const PlatformOps& native_platform();
// Installs `ops` (nullptr restores the native ones).
void platform_install(const PlatformOps* ops);
