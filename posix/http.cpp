// The handle table of the HTTP stand-in and the operations it puts behind
// the platform seam: fixed records for sessions, connections and requests,
// each request owning one of a few exchanges (posix/curl.h) while open.
//
// Connections are kept as WinHTTP keeps them: each session owns a libcurl
// share of its connection cache, so an exchange whose response was read to
// its end leaves its connection for the next exchange to that host on the
// same session. libcurl itself closes one whose body was left unread, that
// failed, or that the server closed.
#include "posix/http.h"

#include <openssl/x509_vfy.h>

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "posix/curl.h"
#include "posix/text.h"
#include "posix/trust.h"

namespace {

constexpr int RECORD_CAPACITY = 32;
constexpr int EXCHANGE_CAPACITY = 4;
constexpr uint32_t SECURE_KNOWN =
    SECURE_TLS1_0 | HTTP_PROTOCOL_TLS1_1 | HTTP_PROTOCOL_TLS1_2 | SECURE_TLS1_3;

enum Kind : uint8_t { FREE, SESSION, CONNECTION, REQUEST };

struct Record {
    Kind kind;
    Settings settings;
    // The session's connection cache, shared by its children.
    CURLSH* share;
    // A connection's host name; "" when it did not fit.
    char host[1024];
    // A request's exchange.
    Exchange* exchange;
};

Record g_records[RECORD_CAPACITY];
Exchange g_exchanges[EXCHANGE_CAPACITY];
bool g_curl_ready = false;
HttpFailure g_failure = HttpFailure::NONE;

Record* find(HttpHandle handle, Kind kind) {
    for (Record& r : g_records)
        if (&r == handle && r.kind != FREE && (kind == FREE || r.kind == kind)) return &r;
    return nullptr;
}

Record* new_record(Kind kind) {
    for (Record& r : g_records) {
        if (r.kind == FREE) {
            r = Record{};
            r.kind = kind;
            return &r;
        }
    }
    return nullptr;
}

Exchange* new_exchange() {
    for (Exchange& ex : g_exchanges) {
        if (!ex.in_use) {
            // Not the staging area: it is written before it is read.
            memset(static_cast<void*>(&ex), 0, offsetof(Exchange, stage));
            ex.in_use = true;
            return &ex;
        }
    }
    return nullptr;
}

// A DNS name or an address literal; anything else (a ":port" suffix, user
// info, spaces, nothing) cannot be looked up, just as WinHTTP finds no such
// name.
bool host_is_name(const char* host) {
    if (host[0] == '[') {
        size_t n = strlen(host);
        if (n < 3 || host[n - 1] != ']') return false;
        for (size_t i = 1; i + 1 < n; ++i) {
            char c = host[i];
            bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') ||
                      c == ':' || c == '.';
            if (!ok) return false;
        }
        return true;
    }
    if (host[0] == '\0') return false;
    for (const char* p = host; *p != '\0'; ++p) {
        auto c = static_cast<unsigned char>(*p);
        bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                  c == '-' || c == '.' || c == '_' || c >= 0x80;
        if (!ok) return false;
    }
    return true;
}

// The request's URL, or "" when the host cannot be looked up or the URL
// does not fit: such a request fails when sent, as an unresolved name.
void compose_url(Exchange* ex, const char* host, const char16_t* path) {
    ex->url[0] = '\0';
    char path8[URL_BYTES];
    if (!host_is_name(host) || !posix_utf16_to_utf8(path, path8, sizeof path8)) return;
    int n = snprintf(ex->url, sizeof ex->url, "https://%s%s%s", host, path8[0] == '/' ? "" : "/",
                     path8);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof ex->url) ex->url[0] = '\0';
}

// Ends a session's connection cache once no handle of the session is left
// (WinHTTP lets a session close before its children).
void release_share(CURLSH* share) {
    if (share == nullptr) return;
    for (const Record& r : g_records)
        if (r.kind != FREE && r.share == share) return;
    (void)curl_share_cleanup(share);
}

// The request after its response headers arrived, or null.
Exchange* answered(HttpHandle request) {
    Record* r = find(request, REQUEST);
    if (r == nullptr || !r->exchange->receive_succeeded) return nullptr;
    return r->exchange;
}

// Records why a step of `ex` failed (null: the stand-in refused the call).
void note_failure(Exchange* ex, bool in_body) {
    if (ex == nullptr || (!ex->timed_out && !(ex->outcome_known && ex->result != CURLE_OK))) {
        g_failure = HttpFailure::OTHER;
        return;
    }
    g_failure = ex->timed_out
                    ? HttpFailure::TIMEOUT
                    : posix_failure_cause(ex->result, ex->verify_error, ex->version_alert, in_body);
}

// Passes `result` through; a failed one is recorded as OTHER: the stand-in's
// own refusals of a call, for the calls that fail no other way.
template <typename T>
T failed_as_other(T result) {
    if (!result) g_failure = HttpFailure::OTHER;
    return result;
}

// Waits for staged body bytes; false on a broken or stalled body. A count of
// 0 with true is the end of the body.
bool wait_body(HttpHandle request, size_t* staged) {
    Exchange* ex = answered(request);
    bool ok = ex != nullptr;
    if (ok && !exchange_pump(ex, find(request, REQUEST)->settings, GOAL_BODY) &&
        exchange_staged(ex) == 0)
        ok = false;
    if (ok) {
        *staged = exchange_staged(ex);
        ok = *staged > 0 || (ex->outcome_known && ex->result == CURLE_OK);
    }
    if (!ok) note_failure(ex, true);
    return ok;
}

// One "Name: value" line for libcurl's list; false when it is no header.
bool append_header_line(Exchange* ex, char* line) {
    char* colon = strchr(line, ':');
    if (colon == nullptr || colon == line) return false;
    const char* value = colon + 1;
    while (*value == ' ' || *value == '\t') ++value;
    // libcurl drops "Name:" with nothing after it; "Name;" sends it empty.
    if (*value == '\0') *colon = ';';
    curl_slist* grown = curl_slist_append(ex->headers, line);
    if (grown == nullptr) return false;
    ex->headers = grown;
    return true;
}

}  // namespace

HttpHandle posix_http_open(const char16_t* agent, uint32_t access_type) {
    if (agent == nullptr) return nullptr;
    if (access_type != HTTP_ACCESS_NO_PROXY && access_type != HTTP_ACCESS_AUTOMATIC_PROXY)
        return nullptr;
    if (!g_curl_ready) {
        if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return nullptr;
        g_curl_ready = true;
    }
    Record* r = new_record(SESSION);
    if (r == nullptr) return nullptr;
    r->share = curl_share_init();
    if (!posix_utf16_to_utf8(agent, r->settings.agent, sizeof r->settings.agent) ||
        r->share == nullptr ||
        curl_share_setopt(r->share, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT) != CURLSHE_OK) {
        if (r->share != nullptr) (void)curl_share_cleanup(r->share);
        r->kind = FREE;
        r->share = nullptr;
        return nullptr;
    }
    r->settings.access_type = access_type;
    return r;
}

bool posix_http_set_option(HttpHandle handle, uint32_t option, uint32_t value) {
    // As WinHTTP, the head's wait is a request's own option.
    if (option == HTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT) {
        Record* request = find(handle, REQUEST);
        if (request == nullptr || request->exchange->send_called) return false;
        if (value != 0) request->settings.head_ms = value;
        return true;
    }
    Record* r = find(handle, SESSION);
    if (r == nullptr) return false;
    Settings& s = r->settings;
    // 0 would mean "no bound" to WinHTTP; here it keeps the step's default.
    switch (option) {
        case HTTP_OPTION_RESOLVE_TIMEOUT:
            if (value != 0) s.resolve_ms = value;
            return true;
        case HTTP_OPTION_CONNECT_TIMEOUT:
            if (value != 0) s.connect_ms = value;
            return true;
        case HTTP_OPTION_SEND_TIMEOUT:
            if (value != 0) s.send_ms = value;
            return true;
        case HTTP_OPTION_RECEIVE_TIMEOUT:
            if (value != 0) s.receive_ms = value;
            return true;
        case HTTP_OPTION_SECURE_PROTOCOLS:
            if ((value & SECURE_KNOWN) == 0) return false;
            s.protocols = value & SECURE_KNOWN;
            return true;
        default: return false;
    }
}

HttpFailure posix_failure_cause(int curl_result, long verify_result, bool version_alert,
                                bool in_body) {
    switch (curl_result) {
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY: return HttpFailure::DNS;
        case CURLE_COULDNT_CONNECT: return HttpFailure::REFUSED;
        case CURLE_OPERATION_TIMEDOUT: return HttpFailure::TIMEOUT;
        case CURLE_PEER_FAILED_VERIFICATION:
            switch (verify_result) {
                // The chain verified; libcurl's own name check failed.
                case X509_V_OK:
                case X509_V_ERR_HOSTNAME_MISMATCH:
                case X509_V_ERR_IP_ADDRESS_MISMATCH: return HttpFailure::TLS_NAME;
                case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
                case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
                case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
                case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
                case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
                case X509_V_ERR_CERT_UNTRUSTED:
                case X509_V_ERR_CERT_REJECTED: return HttpFailure::TLS_UNTRUSTED;
                default: return HttpFailure::TLS;
            }
        case CURLE_SSL_CONNECT_ERROR:
            return version_alert ? HttpFailure::TLS_VERSION : HttpFailure::TLS;
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_SHUTDOWN_FAILED:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_INVALIDCERTSTATUS: return HttpFailure::TLS;
        case CURLE_PARTIAL_FILE:
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR: return in_body ? HttpFailure::TRANSFER : HttpFailure::OTHER;
        default: return HttpFailure::OTHER;
    }
}

HttpFailure posix_http_take_failure() {
    HttpFailure failure = g_failure;
    g_failure = HttpFailure::NONE;
    return failure;
}

static HttpHandle connect_to(HttpHandle session, const char16_t* host, uint16_t port) {
    Record* s = find(session, SESSION);
    if (s == nullptr || host == nullptr || host[0] == 0 || port != HTTPS_PORT) return nullptr;
    Record* r = new_record(CONNECTION);
    if (r == nullptr) return nullptr;
    // Settings are taken now, as WinHTTP's child handles inherit them.
    r->settings = s->settings;
    r->share = s->share;
    if (!posix_utf16_to_utf8(host, r->host, sizeof r->host)) r->host[0] = '\0';
    return r;
}

HttpHandle posix_http_connect(HttpHandle session, const char16_t* host, uint16_t port) {
    return failed_as_other(connect_to(session, host, port));
}

static HttpHandle open_get(HttpHandle connection, const char16_t* verb, const char16_t* path,
                           uint32_t flags) {
    Record* c = find(connection, CONNECTION);
    if (c == nullptr || verb == nullptr || path == nullptr) return nullptr;
    // Only secure GET is provided, the one request the program makes.
    if (!(verb[0] == u'G' && verb[1] == u'E' && verb[2] == u'T' && verb[3] == 0)) return nullptr;
    if ((flags & HTTP_FLAG_SECURE) == 0) return nullptr;
    Record* r = new_record(REQUEST);
    if (r == nullptr) return nullptr;
    Exchange* ex = new_exchange();
    if (ex == nullptr) {
        r->kind = FREE;
        return nullptr;
    }
    r->settings = c->settings;
    r->share = c->share;
    r->exchange = ex;
    compose_url(ex, c->host, path);
    // libcurl's default "Accept: */*" is removed; WinHTTP's default accept
    // types send none.
    ex->headers = curl_slist_append(nullptr, "Accept:");
    if (ex->headers == nullptr) {
        exchange_close(ex);
        r->kind = FREE;
        return nullptr;
    }
    return r;
}

HttpHandle posix_http_open_request(HttpHandle connection, const char16_t* verb,
                                   const char16_t* path, uint32_t flags) {
    return failed_as_other(open_get(connection, verb, path, flags));
}

static bool add_header_lines(HttpHandle request, const char16_t* header) {
    Record* r = find(request, REQUEST);
    if (r == nullptr || header == nullptr || r->exchange->send_called) return false;
    char text[2048];
    if (!posix_utf16_to_utf8(header, text, sizeof text)) return false;
    // One or more "Name: value" lines separated by CRLF.
    for (char* line = text; *line != '\0';) {
        char* end = strstr(line, "\r\n");
        if (end != nullptr) *end = '\0';
        if (*line != '\0' && !append_header_line(r->exchange, line)) return false;
        if (end == nullptr) break;
        line = end + 2;
    }
    return true;
}

bool posix_http_add_headers(HttpHandle request, const char16_t* header, uint32_t) {
    return failed_as_other(add_header_lines(request, header));
}

bool posix_http_send_request(HttpHandle request) {
    Record* r = find(request, REQUEST);
    if (r == nullptr) return failed_as_other(false);
    Exchange* ex = r->exchange;
    if (ex->send_called) return failed_as_other(false);
    // As WinHTTP finds no such name.
    if (ex->url[0] == '\0') {
        g_failure = HttpFailure::DNS;
        return false;
    }
    ex->send_called = true;
    if (!exchange_start(ex, r->settings, r->share)) return failed_as_other(false);
    if (exchange_pump(ex, r->settings, GOAL_SENT) && ex->request_written) return true;
    note_failure(ex, false);
    return false;
}

bool posix_http_receive_response(HttpHandle request) {
    Record* r = find(request, REQUEST);
    if (r == nullptr) return failed_as_other(false);
    Exchange* ex = r->exchange;
    if (!ex->request_written || ex->receive_succeeded) return failed_as_other(false);
    if (!exchange_pump(ex, r->settings, GOAL_HEADERS) || !ex->final_head_read) {
        note_failure(ex, false);
        return false;
    }
    ex->receive_succeeded = true;
    if (ex->insecure_redirect) g_failure = HttpFailure::INSECURE_REDIRECT;
    return true;
}

static bool query_response_number(HttpHandle request, uint32_t query, uint32_t* value) {
    Exchange* ex = answered(request);
    if (ex == nullptr || value == nullptr) return false;
    if (query == (HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER)) {
        *value = ex->head.status;
        return true;
    }
    if (query == (HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER)) {
        if (ex->head.length_state != LENGTH_VALID || ex->head.length > 0xFFFFFFFFull) return false;
        *value = static_cast<uint32_t>(ex->head.length);
        return true;
    }
    return false;
}

bool posix_http_query_number(HttpHandle request, uint32_t query, uint32_t* value) {
    return failed_as_other(query_response_number(request, query, value));
}

bool posix_http_query_data_available(HttpHandle request, uint32_t* count) {
    if (count == nullptr) return failed_as_other(false);
    size_t staged = 0;
    bool ok = wait_body(request, &staged);
    *count = ok ? static_cast<uint32_t>(staged) : 0;
    return ok;
}

bool posix_http_read_data(HttpHandle request, void* buffer, uint32_t max, uint32_t* read) {
    if (read == nullptr) return failed_as_other(false);
    *read = 0;
    if (buffer == nullptr) return failed_as_other(false);
    if (max == 0) return failed_as_other(answered(request) != nullptr);
    size_t staged = 0;
    if (!wait_body(request, &staged)) return false;
    Exchange* ex = answered(request);
    *read = static_cast<uint32_t>(exchange_take(ex, buffer, max));
    return true;
}

void posix_http_close_handle(HttpHandle handle) {
    Record* r = find(handle, FREE);
    if (r == nullptr) return;
    if (r->kind == REQUEST) exchange_close(r->exchange);
    CURLSH* share = r->share;
    r->kind = FREE;
    r->exchange = nullptr;
    r->share = nullptr;
    release_share(share);
    if (posix_http_live_handles() == 0) posix_trust_release();
}

int posix_http_live_handles() {
    int live = 0;
    for (const Record& r : g_records)
        if (r.kind != FREE) ++live;
    return live;
}
