// The one seam between the program and its operating system. The program
// calls these operations only through `platform()`; the Windows build binds
// them to the real APIs, the POSIX build to small stand-ins, and unit tests
// install scripted fakes with `platform_install`.
#pragma once

#include <cstdint>
#include <cstdio>

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
    HTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT = 7,
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

// What a file's Authenticode signature is worth, as the platform checks it.
enum class SignatureVerdict : uint8_t {
    // Holds, and chains to a trusted root for code signing.
    SIGNED,
    // The file carries no signature.
    NOT_SIGNED,
    // The signer's chain reaches no trusted root.
    NOT_TRUSTED,
    // A certificate of the chain names usages, none of them code signing.
    NOT_FOR_CODE_SIGNING,
    // A certificate not valid at the signature's time stamp (or now, with none).
    EXPIRED,
    // A certificate below the root is revoked.
    REVOKED,
    // The file, or its signature, does not match what was signed.
    ALTERED,
};

// However the revocation servers behave, the check of a signer's chain
// against them ends within this; a status not fetched by then is unknown.
inline constexpr uint32_t REVOCATION_LIMIT_MS = 10000;

// Far more than a certificate's subject takes.
inline constexpr uint32_t SIGNER_SUBJECT_CAPACITY = 1024;

// What check_signature tells of the certificate that signed.
struct SignerFacts {
    // Its subject, an X.501 Name as DER; length 0 when it does not fit.
    uint8_t subject[SIGNER_SUBJECT_CAPACITY];
    uint32_t subject_length;
    // SIGNED, yet the revocation status of a certificate below the root was
    // not fetched in time, or it names no distribution point.
    bool revocation_unchecked;
};

// Three bindings exist: the Windows APIs (win32/binding.cpp), the POSIX
// stand-ins (posix/binding.cpp, posix/http.h) and the unit tests' scripted
// fake (tests/unit/fake_platform.h). Each contract says where one differs;
// what WinHTTP, Wine 8 and the stand-in do differently on the wire is
// tabled in platform/DIFFERENCES.md.
struct PlatformOps {
    // Console: set up at the start of a run and put back at its end.
    // Remembers the console's code pages and input mode, switches both code
    // pages to UTF-8, turns QuickEdit off while input is a console, gives
    // standard output and error whole writes, and has the remembered state
    // put back if the process is ended by Ctrl+C or its window's close
    // button. Each step that fails is skipped; output still goes out as the
    // console takes it. The POSIX build leaves the terminal as it is. Once
    // the console was put back, by that handler or by console_end, neither
    // this nor wait_for_enter changes it again.
    void (*console_begin)();
    // True when standard input and output are the console and this process is
    // alone on it, as after a double-click: the window closes with the process.
    // False on any failure, and always in the POSIX build.
    bool (*console_is_own)();
    // Drops the keys typed on the console so far, so that none answers a
    // prompt printed after them; nothing when input is no console, and
    // always in the POSIX build.
    void (*discard_input)();
    // Waits until Enter is pressed on the console; returns at once when input
    // cannot be read, and always in the POSIX build.
    void (*wait_for_enter)();
    // Puts back what console_begin remembered; each step that fails is
    // skipped. Output still buffered would reach the console in the code
    // page put back: the caller flushes standard output and error first.
    // The POSIX build changed nothing and does nothing.
    void (*console_end)();

    // Standard streams, beyond what the C runtime offers; the release tool's.
    // Both are null in the Windows installer, which never asks.
    // True when standard error is a terminal, so a progress line can
    // overwrite itself without filling a log; false when it is not or that
    // cannot be told. Windows asks _isatty, which says true for any
    // character device (NUL too); POSIX asks isatty.
    bool (*stderr_is_terminal)();
    // Standard output without newline translation from here on, so that text
    // written to it keeps its LF ends; a failure leaves the stream as it was.
    // POSIX streams never translate, and the POSIX build does nothing.
    void (*stdout_binary)();

    // Kernel.
    // Directory text ending in a separator, or 0 when there is none or it
    // does not fit `capacity` bytes with its terminator. Windows asks
    // GetTempPathA; POSIX takes $TMPDIR, else /tmp.
    uint32_t (*get_temp_path)(uint32_t capacity, char* buffer);
    // Milliseconds of a monotonic clock from an arbitrary start; never fails.
    // Windows' GetTickCount64 moves in steps of 10 to 16 ms; the fake's
    // clock moves only when the test moves it.
    uint64_t (*tick_count_ms)();
    // Removes the file. A file that is missing or cannot be removed stays as
    // it is, and nothing tells. Windows cannot remove a file that is open
    // without delete sharing (a held file, say) or read-only; POSIX removes
    // the name even while the file is open, whatever its mode.
    void (*delete_file)(const char* path);
    // UTF-8 (NUL-terminated) to UTF-16 with terminator, at most `capacity`
    // units; returns the units written, 0 when they do not fit. Code points
    // past U+FFFF become surrogate pairs and a malformed sequence U+FFFD, as
    // MultiByteToWideChar gives them; the POSIX build splits a malformed
    // sequence into as many U+FFFD as Wine 8 does (Windows not measured), but
    // always writes the terminator, which Wine's drops after a sequence cut
    // short by the end.
    int (*utf8_to_utf16)(const char* text, char16_t* out, int capacity);
    // The file opened for reading and held: until fclose, others may read it
    // but neither write nor delete it. Null when it cannot be opened so. The
    // POSIX build cannot forbid either (DIFFERENCES.md).
    FILE* (*open_held)(const char* path);
    // The Authenticode signature of the file at `path`, held open as `file`
    // (its position afterwards is any), as the caller read it from the
    // file's certificate table (`signature`, a PKCS#7 ContentInfo): the image digest, the signature
    // over it, and the signer's chain to a trusted root for code signing, each certificate valid at
    // the signature's RFC 3161 time stamp when one holds, else now; then each certificate below
    // the root against revocation, within REVOCATION_LIMIT_MS. SIGNED fills `signer`, the subject
    // whole or, when it does not fit, not at all (length 0); any other verdict leaves the
    // subject's length 0. Windows asks WinVerifyTrust (no revocation asked), then judges the
    // signer's chain itself with CertVerifyCertificateChainPolicy and its revocation with
    // CertVerifyRevocation, and says NOT_TRUSTED when WINTRUST or CRYPT32 cannot be loaded from
    // System32; the stand-in checks with OpenSSL against the trust store its HTTPS uses, in a
    // verification context of its own, with the lists its libcurl fetches. Null in a Windows
    // build that names no publisher, which never asks.
    SignatureVerdict (*check_signature)(FILE* file, const char* path, const uint8_t* signature,
                                        uint32_t signature_length, SignerFacts* signer);
    // The shell's "open" verb; above 32 means started, else the shell's code.
    // POSIX runs xdg-open from PATH and waits for it: 42 when it exits 0, 2
    // (file not found) when it exits 2, else 31 (no association).
    uintptr_t (*shell_open)(const char* path);

    // HTTP client library, synchronous: every call returns once its step is
    // done or the step's timeout ran out. A failed call from http_connect to
    // http_read_data records its cause for http_take_failure. The stand-in
    // holds at most 32 handles and 4 open requests at a time and refuses
    // calls beyond them.

    // A session with the user agent and access type (HTTP_ACCESS_AUTOMATIC_PROXY
    // or HTTP_ACCESS_NO_PROXY); null when refused. Windows refuses every
    // session when WINHTTP cannot be loaded from System32; the stand-in
    // refuses another access type and a failed libcurl start. Automatic
    // access is WinHTTP's proxy discovery on Windows and the proxy variables
    // (https_proxy, all_proxy, no_proxy) in the stand-in.
    HttpHandle (*http_open)(const char16_t* agent, uint32_t access_type);
    // Sets a 4-byte option (HTTP_OPTION_*) on `handle`: every option but one
    // on a session, taken by the connections and requests opened on it
    // afterwards; HTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT on a request, before
    // its send, where it bounds the wait for the whole response head, interim
    // heads included (default 90 s); Wine 8 holds only each receive of the
    // head to it (DIFFERENCES.md). False when refused, the setting then
    // unchanged. WinHTTP reads a timeout of 0 as no bound, the stand-in as its
    // default. The stand-in refuses options it does not know, the head's
    // option on anything but an unsent request, and a protocol set with no
    // version it knows.
    bool (*http_set_option)(HttpHandle handle, uint32_t option, uint32_t value);
    // A connection handle for `host` on `port`; nothing goes out yet, so a
    // name that does not resolve fails at the send. Null for a null session.
    // The stand-in also refuses an empty host and a port other than 443; the
    // fake fails a host it has no response for here, with DNS.
    HttpHandle (*http_connect)(HttpHandle session, const char16_t* host, uint16_t port);
    // A request for `verb` and `path` (query included) on a connection,
    // over TLS with HTTP_FLAG_SECURE; null when refused. The stand-in makes
    // only a secure GET.
    HttpHandle (*http_open_request)(HttpHandle connection, const char16_t* verb,
                                    const char16_t* path, uint32_t flags);
    // Adds CRLF-separated "Name: value" lines to the request before its
    // send; false when refused, as for a line without a name. The stand-in
    // also refuses after the send and past 2047 bytes of text, and ignores
    // `flags`.
    bool (*http_add_headers)(HttpHandle request, const char16_t* header, uint32_t flags);
    // Resolves the name, connects (through the proxy under automatic
    // access), makes the TLS handshake with WinHTTP's certificate checks and
    // sends the request; false when a step fails or its timeout runs out,
    // and on a second send. How each build names a failed handshake:
    // DIFFERENCES.md.
    bool (*http_send_request)(HttpHandle request);
    // Waits for the response head, following redirects as WinHTTP's default
    // policy does (at most 10, never from https to http: that redirect is
    // returned as the response); false before a send, on a broken
    // connection, too many redirects, a head past 64 KiB or a timeout. The
    // status and length are then the final response's. Wine 8 and the
    // stand-in follow and bound otherwise in places: DIFFERENCES.md.
    bool (*http_receive_response)(HttpHandle request);
    // HTTP_QUERY_STATUS_CODE or HTTP_QUERY_CONTENT_LENGTH, each with
    // HTTP_QUERY_FLAG_NUMBER, of the received response; false before one and
    // for a length that is absent, no number or past 32 bits, `*value` then
    // meaning nothing. The stand-in and the fake answer no other query.
    // Wine 8 reads some lengths as numbers that Windows refuses:
    // DIFFERENCES.md.
    bool (*http_query_number)(HttpHandle request, uint32_t query, uint32_t* value);
    // Waits for body bytes and gives their count, 0 at the body's end; false
    // before a received response, on a broken body and on a stall past the
    // receive timeout. A clean close before the declared length is a broken
    // body, except in Wine 8 (DIFFERENCES.md).
    bool (*http_query_data_available)(HttpHandle request, uint32_t* count);
    // Moves up to `max` body bytes to `buffer`, waiting for some; `*read` 0
    // at the body's end. False as for the count above.
    bool (*http_read_data)(HttpHandle request, void* buffer, uint32_t max, uint32_t* read);
    // Closes a handle of any kind with what it still holds; never fails and
    // reports nothing. A parent may be closed before its children. Each
    // handle is closed once: the stand-in ignores a closed, foreign or null
    // one, the fake fails the test that closes one twice.
    void (*http_close_handle)(HttpHandle handle);
    // The cause of the most recent failed HTTP call since the previous take
    // (connect to read_data; a close never records, a success does not
    // clear), and clears it. NONE when nothing failed. The stand-in, which
    // returns an https-to-http redirect as the response, counts it as a
    // failure of the receive call. The fake gives the cause its script
    // names. The record is always kept, whether or not anyone takes it: a
    // few stores per failed call, and on WinHTTP a status callback on each
    // connection for a certificate failure's detail. Taking once before an
    // attempt starts its record clean.
    HttpFailure (*http_take_failure)();
};

// The operations in force: the build's own unless a test installed others.
const PlatformOps& platform();
// The build's own operations (Windows APIs or the POSIX stand-ins).
const PlatformOps& native_platform();
// Installs `ops` (nullptr restores the native ones).
void platform_install(const PlatformOps* ops);
