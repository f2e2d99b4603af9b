// HTTPS GET over the platform's HTTP library: sessions, URL splitting and the
// steps of one exchange. Every exchange is begin_get, send_get, (download
// only) query_content_length, any data_available/read_data, then end_get.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "varnel_version.h"

// An open session, or none when `handle` is null. It carries its receive
// timeout because WinHTTP bounds a whole response head only by an option of
// each request, 90 s unless set.
struct HttpsSession {
    HttpHandle handle;
    uint32_t receive_ms;
};
inline constexpr HttpsSession NO_SESSION = {nullptr, 0};
inline bool session_is_open(HttpsSession session) { return session.handle != nullptr; }

struct TimeoutProfile {
    uint32_t resolve_ms;
    uint32_t connect_ms;
    uint32_t send_ms;
    uint32_t receive_ms;
};

struct HttpsExchange {
    HttpHandle connection;
    HttpHandle request;
};

inline constexpr TimeoutProfile PROBE_TIMEOUTS = {
    .resolve_ms = 3000, .connect_ms = 4000, .send_ms = 3000, .receive_ms = 3000};
inline constexpr TimeoutProfile DOWNLOAD_TIMEOUTS = {
    .resolve_ms = 10000, .connect_ms = 15000, .send_ms = 15000, .receive_ms = 30000};
inline constexpr uint32_t SECURE_PROTOCOLS = HTTP_PROTOCOL_TLS1_1 | HTTP_PROTOCOL_TLS1_2;
inline constexpr char16_t USER_AGENT[] = u"tarnwick/" VARNEL_VERSION_MAJOR_MINOR;
inline constexpr char16_t PROBE_RANGE_HEADER[] = u"Range: bytes=0-16383";

inline constexpr int URL_PART_UNITS = 1024;

// A session with `profile`'s timeouts and TLS 1.1-1.2, through the system's
// proxy settings or, when those cannot be used, directly. Its receive timeout
// bounds each read and also each response head as a whole. NO_SESSION when the
// HTTP library cannot open one; every exchange over it fails at CONNECT.
HttpsSession open_session(const TimeoutProfile& profile);
// Closes a session opened by open_session; NO_SESSION is ignored.
void close_session(HttpsSession session);

// The host (up to 511 bytes) and the path ("/" when there is none) of an
// https URL, as UTF-16 text. Never fails: a part that does not convert comes
// out empty, and both parts are always terminated.
void split_url(const char* url, char16_t (&host)[URL_PART_UNITS], char16_t (&path)[URL_PART_UNITS]);

// Where an exchange stopped: DONE, or the step that failed.
enum class GetStep { DONE, CONNECT, OPEN_REQUEST, ADD_HEADER, SEND, RECEIVE, STATUS_QUERY, STATUS };

// Opens the connection and the GET request for `url` over port 443, adding
// `extra_header` when given. DONE fills `exchange`, which end_get closes;
// anything else has closed what it opened and left `exchange` unused.
GetStep begin_get(HttpsSession session, const char* url, const char16_t* extra_header,
                  HttpsExchange* exchange);
// Sends the request and reads the response head, interim heads included,
// which must end within the session's receive timeout of the send. DONE for
// a final status of 200 or 206; STATUS for any other, with `status` holding
// it; `status` is 0 when it could not be read. Closes nothing: the caller still calls end_get.
GetStep send_get(HttpsExchange* exchange, uint32_t* status);
// The announced Content-Length, 0 when it is absent or unreadable.
uint32_t query_content_length(HttpsExchange* exchange);
// Bytes readable now, 0 once the body has ended; false (and 0) when the body
// broke or timed out.
bool data_available(HttpsExchange* exchange, uint32_t* count);
// Up to `max` body bytes into `buffer`; false (and 0 read) on failure.
bool read_data(HttpsExchange* exchange, void* buffer, uint32_t max, uint32_t* read);
// Closes the request, then the connection, and clears both handles.
void end_get(HttpsExchange* exchange);
