#include "net/https.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr int HOST_NARROW_MAX = 511;

void apply_session_options(HttpHandle session, const TimeoutProfile& profile) {
    const PlatformOps& p = platform();
    // Each option is tried on its own; one that fails does not stop the rest.
    (void)p.http_set_option(session, HTTP_OPTION_RESOLVE_TIMEOUT, profile.resolve_ms);
    (void)p.http_set_option(session, HTTP_OPTION_CONNECT_TIMEOUT, profile.connect_ms);
    (void)p.http_set_option(session, HTTP_OPTION_SEND_TIMEOUT, profile.send_ms);
    (void)p.http_set_option(session, HTTP_OPTION_RECEIVE_TIMEOUT, profile.receive_ms);
    (void)p.http_set_option(session, HTTP_OPTION_SECURE_PROTOCOLS, SECURE_PROTOCOLS);
}

}  // namespace

HttpsSession open_session(const TimeoutProfile& profile) {
    const PlatformOps& p = platform();
    HttpHandle handle = p.http_open(USER_AGENT, HTTP_ACCESS_AUTOMATIC_PROXY);
    if (handle == nullptr) handle = p.http_open(USER_AGENT, HTTP_ACCESS_NO_PROXY);
    if (handle == nullptr) return NO_SESSION;
    apply_session_options(handle, profile);
    return {handle, profile.receive_ms};
}

void close_session(HttpsSession session) {
    if (!session_is_open(session)) return;
    platform().http_close_handle(session.handle);
}

void split_url(const char* url, char16_t (&host)[URL_PART_UNITS],
               char16_t (&path)[URL_PART_UNITS]) {
    const char* host_start = strstr(url, "://");
    host_start = host_start != nullptr ? host_start + 3 : url;
    const char* slash = strchr(host_start, '/');
    size_t host_length =
        slash != nullptr ? static_cast<size_t>(slash - host_start) : strlen(host_start);
    const char* path_text = slash != nullptr ? slash : "/";

    char narrow_host[HOST_NARROW_MAX + 1];
    snprintf(narrow_host, sizeof narrow_host, "%.*s",
             static_cast<int>(host_length > HOST_NARROW_MAX ? HOST_NARROW_MAX : host_length),
             host_start);

    const PlatformOps& p = platform();
    (void)p.utf8_to_utf16(narrow_host, host, URL_PART_UNITS);
    host[URL_PART_UNITS - 1] = 0;
    (void)p.utf8_to_utf16(path_text, path, URL_PART_UNITS);
    path[URL_PART_UNITS - 1] = 0;
}

GetStep begin_get(HttpsSession session, const char* url, const char16_t* extra_header,
                  HttpsExchange* exchange) {
    char16_t host[URL_PART_UNITS];
    char16_t path[URL_PART_UNITS];
    host[0] = 0;
    path[0] = 0;
    split_url(url, host, path);

    const PlatformOps& p = platform();
    HttpHandle connection = p.http_connect(session.handle, host, HTTPS_PORT);
    if (connection == nullptr) return GetStep::CONNECT;
    HttpHandle request = p.http_open_request(connection, u"GET", path, HTTP_FLAG_SECURE);
    if (request == nullptr) {
        p.http_close_handle(connection);
        return GetStep::OPEN_REQUEST;
    }
    // WinHTTP takes a whole head's bound only from the request; tried on its
    // own, as the session's options are.
    if (session.receive_ms != 0)
        (void)p.http_set_option(request, HTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, session.receive_ms);
    if (extra_header != nullptr &&
        !p.http_add_headers(request, extra_header, HTTP_ADDREQ_FLAG_ADD)) {
        p.http_close_handle(request);
        p.http_close_handle(connection);
        return GetStep::ADD_HEADER;
    }
    exchange->connection = connection;
    exchange->request = request;
    return GetStep::DONE;
}

GetStep send_get(HttpsExchange* exchange, uint32_t* status) {
    const PlatformOps& p = platform();
    *status = 0;
    if (!p.http_send_request(exchange->request)) return GetStep::SEND;
    if (!p.http_receive_response(exchange->request)) return GetStep::RECEIVE;
    if (!p.http_query_number(exchange->request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER,
                             status))
        return GetStep::STATUS_QUERY;
    return *status == 200 || *status == 206 ? GetStep::DONE : GetStep::STATUS;
}

uint32_t query_content_length(HttpsExchange* exchange) {
    uint32_t length = 0;
    if (!platform().http_query_number(exchange->request,
                                      HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &length))
        return 0;
    return length;
}

bool data_available(HttpsExchange* exchange, uint32_t* count) {
    *count = 0;
    return platform().http_query_data_available(exchange->request, count);
}

bool read_data(HttpsExchange* exchange, void* buffer, uint32_t max, uint32_t* read) {
    *read = 0;
    return platform().http_read_data(exchange->request, buffer, max, read);
}

void end_get(HttpsExchange* exchange) {
    const PlatformOps& p = platform();
    p.http_close_handle(exchange->request);
    p.http_close_handle(exchange->connection);
    exchange->request = nullptr;
    exchange->connection = nullptr;
}
