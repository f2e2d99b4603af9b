// The HTTP client library's stand-in over libcurl's multi interface. Each
// request drives its own transfer from the calling thread, so every step is
// synchronous as WinHTTP's are, and body bytes pass through one fixed staging
// area: a full area pauses the transfer until the consumer drains it.
//
// Connections are kept as WinHTTP keeps them: each session owns a libcurl
// share of its connection cache, so an exchange whose response was read to
// its end leaves its connection for the next exchange to that host on the
// same session. libcurl itself closes one whose body was left unread, that
// failed, or that the server closed.
#include "platform/posix_http.h"

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "platform/posix_trust.h"

namespace {

constexpr int RECORD_CAPACITY = 32;
constexpr int EXCHANGE_CAPACITY = 4;
constexpr size_t STAGE_BYTES = 128 * 1024;
// libcurl hands the write callback at most this much at once; a pause is
// lifted only when a whole delivery fits.
constexpr size_t DELIVERY_MAX = CURL_MAX_WRITE_SIZE;
constexpr int MAX_REDIRECTS = 10;
constexpr size_t MAX_HEADER_BYTES = 64 * 1024;
constexpr size_t URL_BYTES = 4608;
constexpr uint32_t SECURE_TLS1_0 = 0x80;
constexpr uint32_t SECURE_TLS1_3 = 0x2000;
constexpr uint32_t SECURE_KNOWN =
    SECURE_TLS1_0 | HTTP_PROTOCOL_TLS1_1 | HTTP_PROTOCOL_TLS1_2 | SECURE_TLS1_3;

enum Kind : uint8_t { FREE, SESSION, CONNECTION, REQUEST };
enum Phase : uint8_t { RESOLVE, CONNECT, SEND, RECEIVE };
enum Goal : uint8_t { GOAL_SENT, GOAL_HEADERS, GOAL_BODY };
enum LengthState : uint8_t { LENGTH_ABSENT, LENGTH_VALID, LENGTH_INVALID };

struct Settings {
    char agent[512];
    uint32_t access_type;
    // WinHTTP's defaults, except that a lookup is never left unbounded.
    uint32_t resolve_ms = 60000;
    uint32_t connect_ms = 60000;
    uint32_t send_ms = 30000;
    uint32_t receive_ms = 30000;
    uint32_t protocols = SECURE_TLS1_0 | HTTP_PROTOCOL_TLS1_1 | HTTP_PROTOCOL_TLS1_2;
};

struct Exchange {
    bool in_use;
    CURL* easy;
    CURLM* multi;
    CURLSH* share;
    curl_slist* headers;
    char url[URL_BYTES];
    char next_url[URL_BYTES];

    bool started, sent_out, received, headers_final, done, failed, paused;
    // libcurl has ended the transfer and so kept or closed its connection.
    bool finished;
    bool redirect_pending;
    // Why a failed step failed, beyond libcurl's result: the step's own bound
    // ran out; the handshake ended on a protocol-version alert; a redirect to
    // http was left unfollowed; the chain's verify error (0 once verified).
    bool timed_out, version_alert, insecure_redirect;
    long verify_error;
    // The hop's connection is up (after any proxy tunnel and the handshake).
    bool connected;
    CURLcode result;
    int redirects;
    Phase phase;
    uint64_t phase_since;

    // The response whose headers are being read.
    uint32_t status;
    char location[URL_BYTES];
    bool location_cut;
    LengthState length_state;
    uint64_t length;
    bool chunked;
    size_t header_bytes;

    uint32_t final_status;
    LengthState final_length_state;
    uint64_t final_length;
    // The final body ends after final_length bytes (see configure()).
    bool framed;
    uint64_t body_count;

    size_t head, tail;
    unsigned char stage[STAGE_BYTES];
};

struct Record {
    Kind kind;
    Settings settings;
    // The session's connection cache, shared by its children.
    CURLSH* share;
    char host[1024];
    bool host_fits;
    Exchange* exchange;
};

Record g_records[RECORD_CAPACITY];
Exchange g_exchanges[EXCHANGE_CAPACITY];
bool g_curl_ready = false;
HttpFailure g_failure = HttpFailure::NONE;
// The exchange whose transfer runs: handshakes happen only inside pump().
Exchange* g_pumping = nullptr;

uint64_t now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

// UTF-16 to UTF-8 with terminator; false when it does not fit. A lone
// surrogate becomes U+FFFD.
bool to_utf8(const char16_t* text, char* out, size_t capacity) {
    size_t n = 0;
    for (const char16_t* p = text;; ++p) {
        uint32_t cp = *p;
        if (cp >= 0xD800 && cp <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<uint32_t>(p[1]) - 0xDC00);
            ++p;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        unsigned char bytes[4];
        size_t count;
        if (cp < 0x80) {
            bytes[0] = static_cast<unsigned char>(cp);
            count = 1;
        } else if (cp < 0x800) {
            bytes[0] = static_cast<unsigned char>(0xC0 | (cp >> 6));
            bytes[1] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
            count = 2;
        } else if (cp < 0x10000) {
            bytes[0] = static_cast<unsigned char>(0xE0 | (cp >> 12));
            bytes[1] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
            bytes[2] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
            count = 3;
        } else {
            bytes[0] = static_cast<unsigned char>(0xF0 | (cp >> 18));
            bytes[1] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
            bytes[2] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
            bytes[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
            count = 4;
        }
        if (n + count > capacity) return false;
        memcpy(out + n, bytes, count);
        n += count;
        if (cp == 0) return true;
    }
}

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

// A DNS name or an address literal; anything else (a ":port" suffix, user
// info, spaces) cannot be looked up, just as WinHTTP finds no such name.
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

bool same_prefix_nocase(const char* text, size_t length, const char* prefix) {
    size_t n = strlen(prefix);
    if (length < n) return false;
    for (size_t i = 0; i < n; ++i) {
        char a = text[i];
        if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
        char b = prefix[i];
        if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
        if (a != b) return false;
    }
    return true;
}

// The value of a header line without surrounding blanks and line end.
void header_value(const char* line, size_t length, size_t name_length, const char** value,
                  size_t* value_length) {
    size_t start = name_length;
    while (start < length && (line[start] == ' ' || line[start] == '\t')) ++start;
    size_t end = length;
    while (end > start && (line[end - 1] == '\r' || line[end - 1] == '\n' || line[end - 1] == ' ' ||
                           line[end - 1] == '\t'))
        --end;
    *value = line + start;
    *value_length = end - start;
}

LengthState parse_length(const char* text, size_t length, uint64_t* value) {
    if (length == 0) return LENGTH_INVALID;
    uint64_t v = 0;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9' || v > (UINT64_MAX >> 4)) return LENGTH_INVALID;
        v = v * 10 + static_cast<uint64_t>(text[i] - '0');
    }
    *value = v;
    return LENGTH_VALID;
}

bool followed_status(uint32_t status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// Where a redirect leads, resolved against the current URL; false unless it
// is an https URL (WinHTTP's default policy returns an https-to-http redirect
// as the response itself).
bool redirect_target(Exchange* ex) {
    if (ex->location[0] == '\0' || ex->location_cut) return false;
    CURLU* u = curl_url();
    if (u == nullptr) return false;
    bool ok = false;
    char* scheme = nullptr;
    char* full = nullptr;
    if (curl_url_set(u, CURLUPART_URL, ex->url, 0) == CURLUE_OK &&
        curl_url_set(u, CURLUPART_URL, ex->location, CURLU_URLENCODE) == CURLUE_OK &&
        curl_url_get(u, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK) {
        if (strcmp(scheme, "http") == 0) ex->insecure_redirect = true;
        if (strcmp(scheme, "https") == 0 && curl_url_get(u, CURLUPART_URL, &full, 0) == CURLUE_OK) {
            int n = snprintf(ex->next_url, sizeof ex->next_url, "%s", full);
            ok = n > 0 && static_cast<size_t>(n) < sizeof ex->next_url;
        }
    }
    curl_free(scheme);
    curl_free(full);
    curl_url_cleanup(u);
    return ok;
}

// Forgets what the last response's headers said, for the next one.
void reset_response(Exchange* ex) {
    ex->status = 0;
    ex->location[0] = '\0';
    ex->location_cut = false;
    ex->length_state = LENGTH_ABSENT;
    ex->length = 0;
    ex->chunked = false;
    ex->header_bytes = 0;
}

size_t on_header(char* data, size_t size, size_t items, void* user) {
    auto* ex = static_cast<Exchange*>(user);
    size_t n = size * items;
    ex->phase_since = now_ms();
    if (ex->headers_final) return n;  // trailers
    // WinHTTP's default bound on one response's headers; without it a peer
    // sending headers forever holds the exchange until its timeouts.
    ex->header_bytes += n;
    if (ex->header_bytes > MAX_HEADER_BYTES) {
        ex->failed = true;
        return 0;
    }
    if (same_prefix_nocase(data, n, "HTTP/")) {
        size_t i = 5;
        while (i < n && data[i] != ' ') ++i;
        uint32_t status = 0;
        for (size_t k = i + 1; k < n && k < i + 4 && data[k] >= '0' && data[k] <= '9'; ++k)
            status = status * 10 + static_cast<uint32_t>(data[k] - '0');
        reset_response(ex);
        ex->status = status;
        ex->header_bytes = n;
        return n;
    }
    const char* value;
    size_t value_length;
    if (same_prefix_nocase(data, n, "Location:")) {
        header_value(data, n, 9, &value, &value_length);
        ex->location_cut = value_length >= sizeof ex->location;
        if (!ex->location_cut) {
            memcpy(ex->location, value, value_length);
            ex->location[value_length] = '\0';
        }
        return n;
    }
    if (same_prefix_nocase(data, n, "Content-Length:")) {
        header_value(data, n, 15, &value, &value_length);
        ex->length_state = parse_length(value, value_length, &ex->length);
        return n;
    }
    if (same_prefix_nocase(data, n, "Transfer-Encoding:")) {
        header_value(data, n, 18, &value, &value_length);
        for (size_t i = 0; i + 7 <= value_length; ++i)
            if (same_prefix_nocase(value + i, value_length - i, "chunked")) ex->chunked = true;
        return n;
    }
    bool blank = (n == 2 && data[0] == '\r' && data[1] == '\n') || (n == 1 && data[0] == '\n');
    if (!blank || (ex->status >= 100 && ex->status < 200)) return n;
    if (followed_status(ex->status) && redirect_target(ex)) {
        // Beyond the limit WinHTTP fails the receive step.
        if (ex->redirects >= MAX_REDIRECTS) {
            ex->failed = true;
            return 0;
        }
        ex->redirect_pending = true;
        return n;
    }
    ex->final_status = ex->status;
    ex->final_length_state = ex->length_state;
    ex->final_length = ex->length;
    ex->headers_final = true;
    ex->framed =
        ex->length_state == LENGTH_VALID && !ex->chunked && ex->status != 204 && ex->status != 304;
    if (ex->framed && ex->final_length == 0) {
        ex->done = true;
        ex->result = CURLE_OK;
    }
    return n;
}

size_t on_body(char* data, size_t size, size_t items, void* user) {
    auto* ex = static_cast<Exchange*>(user);
    size_t n = size * items;
    ex->phase_since = now_ms();
    if (ex->redirect_pending) return n;  // the body of a followed redirect
    if (STAGE_BYTES - ex->tail < n && ex->head > 0) {
        memmove(ex->stage, ex->stage + ex->head, ex->tail - ex->head);
        ex->tail -= ex->head;
        ex->head = 0;
    }
    if (STAGE_BYTES - ex->tail < n) {
        ex->paused = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    size_t keep = n;
    if (ex->framed) {
        // Bytes past the declared length are not part of this body.
        uint64_t rest = ex->final_length - ex->body_count;
        if (keep > rest) keep = static_cast<size_t>(rest);
        ex->body_count += keep;
        if (ex->body_count == ex->final_length) {
            ex->done = true;
            ex->result = CURLE_OK;
        }
    }
    memcpy(ex->stage + ex->tail, data, keep);
    ex->tail += keep;
    return n;
}

int on_socket(void* user, curl_socket_t, curlsocktype) {
    auto* ex = static_cast<Exchange*>(user);
    ex->phase = CONNECT;
    ex->phase_since = now_ms();
    return CURL_SOCKOPT_OK;
}

int on_connected(void* user, char*, char*, int, int) {
    auto* ex = static_cast<Exchange*>(user);
    ex->connected = true;
    ex->phase = SEND;
    ex->phase_since = now_ms();
    return CURL_PREREQFUNC_OK;
}

int on_debug(CURL*, curl_infotype type, char*, size_t, void* user) {
    auto* ex = static_cast<Exchange*>(user);
    // A proxy's CONNECT request is not the request.
    if (type == CURLINFO_HEADER_OUT && ex->connected) {
        ex->sent_out = true;
        ex->phase = RECEIVE;
        ex->phase_since = now_ms();
    }
    return 0;
}

// libcurl's result of a failed handshake does not say whether the versions
// did not meet; the alert that either side sends then does.
void on_tls_info(const SSL*, int where, int value) {
    if ((where & SSL_CB_ALERT) != 0 && (value & 0xFF) == SSL_AD_PROTOCOL_VERSION &&
        g_pumping != nullptr)
        g_pumping->version_alert = true;
}

// libcurl checks the name itself once the chain verified and reports a
// mismatch with its verify result still unset, so the chain's own error is
// kept here.
int on_tls_verify(int ok, X509_STORE_CTX* store) {
    if (ok == 0 && g_pumping != nullptr && g_pumping->verify_error == X509_V_OK)
        g_pumping->verify_error = X509_STORE_CTX_get_error(store);
    return ok;
}

// Trust exactly what OpenSSL's default verify paths hold (SSL_CERT_FILE and
// SSL_CERT_DIR when set), not the bundle path compiled into libcurl; and keep
// out a version inside the allowed range that the set leaves out.
CURLcode on_tls_context(CURL*, void* context, void* user) {
    auto* ctx = static_cast<SSL_CTX*>(context);
    uint32_t protocols = *static_cast<const uint32_t*>(user);
    // One store for the run, not one per connection: reading the system
    // bundle costs more than a handshake on a near host.
    X509_STORE* trust = posix_trust_store();
    if (trust == nullptr) return CURLE_SSL_CACERT_BADFILE;
    SSL_CTX_set1_cert_store(ctx, trust);
    uint64_t off = 0;
    if ((protocols & SECURE_TLS1_0) == 0) off |= SSL_OP_NO_TLSv1;
    if ((protocols & HTTP_PROTOCOL_TLS1_1) == 0) off |= SSL_OP_NO_TLSv1_1;
    if ((protocols & HTTP_PROTOCOL_TLS1_2) == 0) off |= SSL_OP_NO_TLSv1_2;
    if ((protocols & SECURE_TLS1_3) == 0) off |= SSL_OP_NO_TLSv1_3;
    SSL_CTX_set_options(ctx, off);
    SSL_CTX_set_info_callback(ctx, on_tls_info);
    SSL_CTX_set_verify(ctx, SSL_CTX_get_verify_mode(ctx), on_tls_verify);
    return CURLE_OK;
}

long tls_range(uint32_t protocols) {
    long low = CURL_SSLVERSION_TLSv1_3;
    long high = CURL_SSLVERSION_MAX_TLSv1_0;
    if (protocols & SECURE_TLS1_3)
        high = CURL_SSLVERSION_MAX_TLSv1_3;
    else if (protocols & HTTP_PROTOCOL_TLS1_2)
        high = CURL_SSLVERSION_MAX_TLSv1_2;
    else if (protocols & HTTP_PROTOCOL_TLS1_1)
        high = CURL_SSLVERSION_MAX_TLSv1_1;
    if (protocols & SECURE_TLS1_0)
        low = CURL_SSLVERSION_TLSv1_0;
    else if (protocols & HTTP_PROTOCOL_TLS1_1)
        low = CURL_SSLVERSION_TLSv1_1;
    else if (protocols & HTTP_PROTOCOL_TLS1_2)
        low = CURL_SSLVERSION_TLSv1_2;
    return low | high;
}

uint32_t phase_bound(const Settings& s, Phase phase) {
    switch (phase) {
        case RESOLVE: return s.resolve_ms;
        case CONNECT: return s.connect_ms;
        case SEND: return s.send_ms;
        case RECEIVE: return s.receive_ms;
    }
    return s.receive_ms;
}

// Moves the transfer to the redirect's target on the same handle, which
// keeps every option and the extra header.
bool follow_redirect(Exchange* ex) {
    ex->redirect_pending = false;
    ex->redirects += 1;
    memcpy(ex->url, ex->next_url, sizeof ex->url);
    reset_response(ex);
    ex->phase = RESOLVE;
    ex->phase_since = now_ms();
    ex->done = false;
    ex->connected = false;
    if (curl_multi_remove_handle(ex->multi, ex->easy) != CURLM_OK) return false;
    if (curl_easy_setopt(ex->easy, CURLOPT_URL, ex->url) != CURLE_OK) return false;
    return curl_multi_add_handle(ex->multi, ex->easy) == CURLM_OK;
}

void resume_if_room(Exchange* ex) {
    if (!ex->paused || ex->done) return;
    size_t room = STAGE_BYTES - (ex->tail - ex->head);
    if (room < DELIVERY_MAX) return;
    ex->paused = false;
    // May deliver held data at once, which can pause again.
    if (curl_easy_pause(ex->easy, CURLPAUSE_CONT) != CURLE_OK) ex->failed = true;
}

bool reached(const Exchange* ex, Goal goal) {
    switch (goal) {
        case GOAL_SENT: return ex->sent_out || ex->headers_final || ex->done;
        case GOAL_HEADERS: return ex->headers_final || ex->done;
        case GOAL_BODY: return ex->tail > ex->head || ex->done;
    }
    return true;
}

// Runs the transfer until `goal` or the end of the transfer; false when the
// wait of the current step ran past its bound or libcurl broke down.
bool pump(Exchange* ex, const Settings& s, Goal goal) {
    if (ex->failed) return false;
    g_pumping = ex;
    // A wait for the server's bytes starts when the caller starts waiting.
    uint64_t start = now_ms();
    if (ex->phase == RECEIVE && ex->phase_since < start) ex->phase_since = start;
    resume_if_room(ex);
    for (;;) {
        if (ex->failed) return false;
        if (reached(ex, goal)) return true;
        int running = 0;
        if (curl_multi_perform(ex->multi, &running) != CURLM_OK) {
            ex->failed = true;
            return false;
        }
        int queued = 0;
        while (CURLMsg* msg = curl_multi_info_read(ex->multi, &queued)) {
            if (msg->msg == CURLMSG_DONE && msg->easy_handle == ex->easy) {
                ex->finished = true;
                if (!ex->done) {
                    ex->done = true;
                    ex->result = msg->data.result;
                    // Closed before the declared length: a broken body.
                    if (ex->result == CURLE_OK && ex->framed && ex->body_count < ex->final_length)
                        ex->result = CURLE_PARTIAL_FILE;
                    // A length WinHTTP cannot read (libcurl reads "12abc" as 12)
                    // leaves the body to end where the server closes.
                    if (ex->result == CURLE_PARTIAL_FILE && !ex->chunked &&
                        ex->final_length_state == LENGTH_INVALID)
                        ex->result = CURLE_OK;
                }
            }
        }
        if (ex->failed) return false;
        if (ex->redirect_pending) {
            if (!follow_redirect(ex)) {
                ex->failed = true;
                return false;
            }
            continue;
        }
        if (reached(ex, goal)) return true;
        uint64_t now = now_ms();
        uint64_t deadline = ex->phase_since + phase_bound(s, ex->phase);
        if (now >= deadline) {
            ex->failed = true;
            ex->timed_out = true;
            return false;
        }
        uint64_t wait = deadline - now;
        if (wait > 1000) wait = 1000;
        if (curl_multi_poll(ex->multi, nullptr, 0, static_cast<int>(wait), nullptr) != CURLM_OK) {
            ex->failed = true;
            return false;
        }
    }
}

template <typename T>
bool set(CURL* easy, CURLoption option, T value) {
    return curl_easy_setopt(easy, option, value) == CURLE_OK;
}

bool configure(Record* r) {
    Exchange* ex = r->exchange;
    const Settings& s = r->settings;
    CURL* e = ex->easy;
    curl_write_callback header_fn = on_header;
    curl_write_callback body_fn = on_body;
    curl_sockopt_callback socket_fn = on_socket;
    curl_prereq_callback connected_fn = on_connected;
    curl_debug_callback debug_fn = on_debug;
    curl_ssl_ctx_callback tls_fn = on_tls_context;
    // The length is read here too (on_header) and the body framed by it
    // (on_body): WinHTTP fails only the number query on a length it cannot
    // read, and a length past 64 bits still frames. libcurl frames as well,
    // or it could not keep the connection; a length it refuses outright
    // ("-5") fails the receive step here.
    // Curl's own bound covers lookup, connect and handshake of each hop
    // together; the loop in pump() holds every step to its own bound first.
    long connect_total = static_cast<long>(s.resolve_ms) + static_cast<long>(s.connect_ms);
    bool ok = set(e, CURLOPT_URL, ex->url) && set(e, CURLOPT_PROTOCOLS_STR, "https") &&
              set(e, CURLOPT_REDIR_PROTOCOLS_STR, "https") && set(e, CURLOPT_FOLLOWLOCATION, 0L) &&
              set(e, CURLOPT_HTTPGET, 1L) && set(e, CURLOPT_PATH_AS_IS, 1L) &&
              set(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1)) &&
              set(e, CURLOPT_USERAGENT, s.agent) && set(e, CURLOPT_HTTPHEADER, ex->headers) &&
              set(e, CURLOPT_HTTP_CONTENT_DECODING, 0L) && set(e, CURLOPT_NOSIGNAL, 1L) &&
              set(e, CURLOPT_SHARE, ex->share) && set(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L) &&
              set(e, CURLOPT_CONNECTTIMEOUT_MS, connect_total) &&
              set(e, CURLOPT_SSLVERSION, tls_range(s.protocols)) &&
              set(e, CURLOPT_SSL_VERIFYPEER, 1L) && set(e, CURLOPT_SSL_VERIFYHOST, 2L) &&
              set(e, CURLOPT_CAINFO, static_cast<const char*>(nullptr)) &&
              set(e, CURLOPT_CAPATH, static_cast<const char*>(nullptr)) &&
              set(e, CURLOPT_SSL_CTX_FUNCTION, tls_fn) &&
              set(e, CURLOPT_SSL_CTX_DATA, static_cast<void*>(&r->settings.protocols)) &&
              set(e, CURLOPT_HEADERFUNCTION, header_fn) && set(e, CURLOPT_HEADERDATA, ex) &&
              set(e, CURLOPT_WRITEFUNCTION, body_fn) && set(e, CURLOPT_WRITEDATA, ex) &&
              set(e, CURLOPT_SOCKOPTFUNCTION, socket_fn) && set(e, CURLOPT_SOCKOPTDATA, ex) &&
              set(e, CURLOPT_PREREQFUNCTION, connected_fn) && set(e, CURLOPT_PREREQDATA, ex) &&
              set(e, CURLOPT_DEBUGFUNCTION, debug_fn) && set(e, CURLOPT_DEBUGDATA, ex) &&
              set(e, CURLOPT_VERBOSE, 1L);
    // Direct access ignores the proxy variables; automatic access is
    // libcurl's reading of them.
    if (ok && s.access_type == HTTP_ACCESS_NO_PROXY) ok = set(e, CURLOPT_PROXY, "");
    return ok;
}

// Hands the exchange's pages back once it is over: the staging area (zero
// pages again when next touched) and what libcurl and OpenSSL freed, so what
// the run holds later (the digest) does not stack on the transfer's peak.
void give_back_memory(Exchange* ex) {
    uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    uintptr_t start = (reinterpret_cast<uintptr_t>(ex->stage) + page - 1) & ~(page - 1);
    uintptr_t end = (reinterpret_cast<uintptr_t>(ex->stage) + STAGE_BYTES) & ~(page - 1);
    if (end > start) (void)madvise(reinterpret_cast<void*>(start), end - start, MADV_DONTNEED);
#ifdef __GLIBC__
    (void)malloc_trim(0);
#endif
}

// A body read to its declared end may leave libcurl one step short of
// ending the transfer (the last bytes came while it was paused); ending it
// here lets the connection stay in the session's cache, as WinHTTP's does.
void finish_read_body(Exchange* ex) {
    if (!ex->framed || !ex->done || ex->result != CURLE_OK || ex->head != ex->tail) return;
    for (int round = 0; round < 8 && !ex->finished; ++round) {
        int running = 0;
        if (curl_multi_perform(ex->multi, &running) != CURLM_OK) return;
        int queued = 0;
        while (CURLMsg* msg = curl_multi_info_read(ex->multi, &queued))
            if (msg->msg == CURLMSG_DONE && msg->easy_handle == ex->easy) ex->finished = true;
    }
}

void free_exchange(Exchange* ex) {
    if (ex->multi != nullptr && ex->easy != nullptr && !ex->failed) finish_read_body(ex);
    if (ex->multi != nullptr && ex->easy != nullptr)
        (void)curl_multi_remove_handle(ex->multi, ex->easy);
    if (ex->easy != nullptr) curl_easy_cleanup(ex->easy);
    if (ex->multi != nullptr) (void)curl_multi_cleanup(ex->multi);
    curl_slist_free_all(ex->headers);
    ex->easy = nullptr;
    ex->multi = nullptr;
    ex->headers = nullptr;
    ex->in_use = false;
    give_back_memory(ex);
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
    if (r == nullptr || !r->exchange->received) return nullptr;
    return r->exchange;
}

// Records why a step of `ex` failed (null: the stand-in refused the call).
void note_failure(Exchange* ex, bool in_body) {
    if (ex == nullptr || (!ex->timed_out && !(ex->done && ex->result != CURLE_OK))) {
        g_failure = HttpFailure::OTHER;
        return;
    }
    g_failure = ex->timed_out
                    ? HttpFailure::TIMEOUT
                    : posix_failure_cause(ex->result, ex->verify_error, ex->version_alert, in_body);
}

// Waits for staged body bytes; false on a broken or stalled body. A count of
// 0 with true is the end of the body.
bool wait_body(HttpHandle request, size_t* staged) {
    Exchange* ex = answered(request);
    bool ok = ex != nullptr;
    if (ok && !pump(ex, find(request, REQUEST)->settings, GOAL_BODY) && ex->tail == ex->head)
        ok = false;
    if (ok) {
        *staged = ex->tail - ex->head;
        ok = *staged > 0 || (ex->done && ex->result == CURLE_OK);
    }
    if (!ok) note_failure(ex, true);
    return ok;
}

// The stand-in's own refusals of a call, for the calls that fail no other way.
template <typename T>
T noted(T result) {
    if (!result) g_failure = HttpFailure::OTHER;
    return result;
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
    if (!to_utf8(agent, r->settings.agent, sizeof r->settings.agent) || r->share == nullptr ||
        curl_share_setopt(r->share, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT) != CURLSHE_OK) {
        if (r->share != nullptr) (void)curl_share_cleanup(r->share);
        r->kind = FREE;
        r->share = nullptr;
        return nullptr;
    }
    r->settings.access_type = access_type;
    return r;
}

bool posix_http_set_option(HttpHandle session, uint32_t option, uint32_t value) {
    Record* r = find(session, SESSION);
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
    r->host_fits = to_utf8(host, r->host, sizeof r->host);
    if (!r->host_fits) r->host[0] = '\0';
    return r;
}

HttpHandle posix_http_connect(HttpHandle session, const char16_t* host, uint16_t port) {
    return noted(connect_to(session, host, port));
}

static HttpHandle open_get(HttpHandle connection, const char16_t* verb, const char16_t* path,
                           uint32_t flags) {
    Record* c = find(connection, CONNECTION);
    if (c == nullptr || verb == nullptr || path == nullptr) return nullptr;
    // Only secure GET is provided, the one request the program makes.
    if (!(verb[0] == u'G' && verb[1] == u'E' && verb[2] == u'T' && verb[3] == 0)) return nullptr;
    if ((flags & HTTP_FLAG_SECURE) == 0) return nullptr;
    Exchange* ex = nullptr;
    for (Exchange& candidate : g_exchanges) {
        if (!candidate.in_use) {
            ex = &candidate;
            break;
        }
    }
    if (ex == nullptr) return nullptr;
    Record* r = new_record(REQUEST);
    if (r == nullptr) return nullptr;
    r->settings = c->settings;
    r->share = c->share;
    memset(static_cast<void*>(ex), 0, offsetof(Exchange, stage));
    ex->in_use = true;
    ex->share = c->share;
    r->exchange = ex;

    bool ok = c->host_fits && host_is_name(c->host);
    char path8[URL_BYTES];
    if (ok) ok = to_utf8(path, path8, sizeof path8);
    if (ok) {
        int n = snprintf(ex->url, sizeof ex->url, "https://%s%s%s", c->host,
                         path8[0] == '/' ? "" : "/", path8);
        ok = n > 0 && static_cast<size_t>(n) < sizeof ex->url;
    }
    // A host that cannot be looked up fails when sent, as an unresolved name.
    if (!ok) ex->url[0] = '\0';
    // libcurl's default "Accept: */*" is removed; WinHTTP's default accept
    // types send none.
    ex->headers = curl_slist_append(nullptr, "Accept:");
    if (ex->headers == nullptr) {
        free_exchange(ex);
        r->kind = FREE;
        return nullptr;
    }
    return r;
}

HttpHandle posix_http_open_request(HttpHandle connection, const char16_t* verb,
                                   const char16_t* path, uint32_t flags) {
    return noted(open_get(connection, verb, path, flags));
}

static bool add_header_lines(HttpHandle request, const char16_t* header) {
    Record* r = find(request, REQUEST);
    if (r == nullptr || header == nullptr || r->exchange->started) return false;
    char text[2048];
    if (!to_utf8(header, text, sizeof text)) return false;
    // One or more "Name: value" lines separated by CRLF.
    for (char* line = text; *line != '\0';) {
        char* end = strstr(line, "\r\n");
        if (end != nullptr) *end = '\0';
        if (*line != '\0') {
            char* colon = strchr(line, ':');
            if (colon == nullptr || colon == line) return false;
            const char* value = colon + 1;
            while (*value == ' ' || *value == '\t') ++value;
            // libcurl drops "Name:" with nothing after it; "Name;" sends it empty.
            if (*value == '\0') *colon = ';';
            curl_slist* grown = curl_slist_append(r->exchange->headers, line);
            if (grown == nullptr) return false;
            r->exchange->headers = grown;
        }
        if (end == nullptr) break;
        line = end + 2;
    }
    return true;
}

bool posix_http_add_headers(HttpHandle request, const char16_t* header, uint32_t) {
    return noted(add_header_lines(request, header));
}

bool posix_http_send_request(HttpHandle request) {
    Record* r = find(request, REQUEST);
    if (r == nullptr) return noted(false);
    Exchange* ex = r->exchange;
    if (ex->started) return noted(false);
    // As WinHTTP finds no such name.
    if (ex->url[0] == '\0') {
        g_failure = HttpFailure::DNS;
        return false;
    }
    ex->started = true;
    ex->phase = RESOLVE;
    ex->phase_since = now_ms();
    ex->easy = curl_easy_init();
    ex->multi = curl_multi_init();
    if (ex->easy == nullptr || ex->multi == nullptr || !configure(r) ||
        curl_multi_add_handle(ex->multi, ex->easy) != CURLM_OK) {
        ex->failed = true;
        return noted(false);
    }
    if (pump(ex, r->settings, GOAL_SENT) && ex->sent_out) return true;
    note_failure(ex, false);
    return false;
}

bool posix_http_receive_response(HttpHandle request) {
    Record* r = find(request, REQUEST);
    if (r == nullptr) return noted(false);
    Exchange* ex = r->exchange;
    if (!ex->sent_out || ex->received) return noted(false);
    if (!pump(ex, r->settings, GOAL_HEADERS) || !ex->headers_final) {
        note_failure(ex, false);
        return false;
    }
    ex->received = true;
    if (ex->insecure_redirect) g_failure = HttpFailure::INSECURE_REDIRECT;
    return true;
}

static bool query_response_number(HttpHandle request, uint32_t query, uint32_t* value) {
    Exchange* ex = answered(request);
    if (ex == nullptr || value == nullptr) return false;
    if (query == (HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER)) {
        *value = ex->final_status;
        return true;
    }
    if (query == (HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER)) {
        if (ex->final_length_state != LENGTH_VALID || ex->final_length > 0xFFFFFFFFull)
            return false;
        *value = static_cast<uint32_t>(ex->final_length);
        return true;
    }
    return false;
}

bool posix_http_query_number(HttpHandle request, uint32_t query, uint32_t* value) {
    return noted(query_response_number(request, query, value));
}

bool posix_http_query_data_available(HttpHandle request, uint32_t* count) {
    if (count == nullptr) return noted(false);
    size_t staged = 0;
    bool ok = wait_body(request, &staged);
    *count = ok ? static_cast<uint32_t>(staged) : 0;
    return ok;
}

bool posix_http_read_data(HttpHandle request, void* buffer, uint32_t max, uint32_t* read) {
    if (read == nullptr) return noted(false);
    *read = 0;
    if (buffer == nullptr) return noted(false);
    if (max == 0) return noted(answered(request) != nullptr);
    size_t staged = 0;
    if (!wait_body(request, &staged)) return false;
    Exchange* ex = answered(request);
    size_t n = staged < max ? staged : max;
    memcpy(buffer, ex->stage + ex->head, n);
    ex->head += n;
    if (ex->head == ex->tail) ex->head = ex->tail = 0;
    resume_if_room(ex);
    *read = static_cast<uint32_t>(n);
    return true;
}

void posix_http_close_handle(HttpHandle handle) {
    Record* r = find(handle, FREE);
    if (r == nullptr) return;
    if (r->kind == REQUEST) free_exchange(r->exchange);
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
