#include "posix/curl.h"

#include <openssl/ssl.h>
#include <sys/mman.h>
#include <unistd.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <cstdio>
#include <cstring>

#include "posix/clock.h"
#include "posix/trust.h"

namespace {

// libcurl hands the write callback at most this much at once; a pause is
// lifted only when a whole delivery fits.
constexpr size_t DELIVERY_MAX = CURL_MAX_WRITE_SIZE;
constexpr int MAX_REDIRECTS = 10;

// The exchange whose transfer runs: handshakes happen only inside
// exchange_pump().
Exchange* g_pumping = nullptr;

// Where a redirect leads, resolved against the current URL; false unless it
// is an https URL (WinHTTP's default policy returns an https-to-http redirect
// as the response itself).
bool redirect_target(Exchange* ex) {
    if (ex->head.location[0] == '\0' || ex->head.location_cut) return false;
    CURLU* u = curl_url();
    if (u == nullptr) return false;
    bool ok = false;
    char* scheme = nullptr;
    char* full = nullptr;
    if (curl_url_set(u, CURLUPART_URL, ex->url, 0) == CURLUE_OK &&
        curl_url_set(u, CURLUPART_URL, ex->head.location, CURLU_URLENCODE) == CURLUE_OK &&
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

// What the blank line after a head decides; false refuses the response.
bool on_head_end(Exchange* ex) {
    if (head_is_interim(ex->head)) return true;
    if (head_is_redirect(ex->head) && redirect_target(ex)) {
        // Beyond the limit WinHTTP fails the receive step.
        if (ex->redirects >= MAX_REDIRECTS) {
            ex->given_up = true;
            return false;
        }
        ex->redirect_to_follow = true;
        return true;
    }
    ex->final_head_read = true;
    ex->length_bounded = head_is_length_bounded(ex->head);
    if (ex->length_bounded && ex->head.length == 0) {
        ex->outcome_known = true;
        ex->result = CURLE_OK;
    }
    return true;
}

size_t on_header(char* data, size_t size, size_t items, void* user) {
    auto* ex = static_cast<Exchange*>(user);
    size_t n = size * items;
    ex->phase_since = posix_now_ms();
    if (ex->final_head_read) return n;  // trailers
    switch (head_take_line(&ex->head, data, n)) {
        case HEAD_MORE: return n;
        case HEAD_END: return on_head_end(ex) ? n : 0;
        case HEAD_TOO_LARGE: break;
    }
    ex->given_up = true;
    return 0;
}

size_t on_body(char* data, size_t size, size_t items, void* user) {
    auto* ex = static_cast<Exchange*>(user);
    size_t n = size * items;
    ex->phase_since = posix_now_ms();
    if (ex->redirect_to_follow) return n;  // the body of a followed redirect
    if (STAGE_BYTES - ex->write_at < n && ex->read_at > 0) {
        memmove(ex->stage, ex->stage + ex->read_at, ex->write_at - ex->read_at);
        ex->write_at -= ex->read_at;
        ex->read_at = 0;
    }
    if (STAGE_BYTES - ex->write_at < n) {
        ex->transfer_paused = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    size_t keep = n;
    if (ex->length_bounded) {
        // Bytes past the declared length are not part of this body.
        uint64_t rest = ex->head.length - ex->body_count;
        if (keep > rest) keep = static_cast<size_t>(rest);
        ex->body_count += keep;
        if (ex->body_count == ex->head.length) {
            ex->outcome_known = true;
            ex->result = CURLE_OK;
        }
    }
    memcpy(ex->stage + ex->write_at, data, keep);
    ex->write_at += keep;
    return n;
}

int on_socket(void* user, curl_socket_t, curlsocktype) {
    auto* ex = static_cast<Exchange*>(user);
    ex->phase = CONNECT;
    ex->phase_since = posix_now_ms();
    return CURL_SOCKOPT_OK;
}

int on_connected(void* user, char*, char*, int, int) {
    auto* ex = static_cast<Exchange*>(user);
    ex->hop_connected = true;
    ex->phase = SEND;
    ex->phase_since = posix_now_ms();
    return CURL_PREREQFUNC_OK;
}

int on_debug(CURL*, curl_infotype type, char*, size_t, void* user) {
    auto* ex = static_cast<Exchange*>(user);
    // A proxy's CONNECT request is not the request.
    if (type == CURLINFO_HEADER_OUT && ex->hop_connected) {
        ex->request_written = true;
        ex->phase = RECEIVE;
        ex->phase_since = posix_now_ms();
        ex->request_sent_at = ex->phase_since;
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

// Sets one option. The options are set in long chains, so a debug build
// names the one libcurl refused.
template <typename T>
bool set_option(CURL* easy, CURLoption option, const char* name, T value) {
    CURLcode code = curl_easy_setopt(easy, option, value);
#ifndef NDEBUG
    if (code != CURLE_OK)
        fprintf(stderr, "libcurl refused %s: %s\n", name, curl_easy_strerror(code));
#else
    (void)name;
#endif
    return code == CURLE_OK;
}

#define SET_OPTION(easy, option, value) set_option(easy, option, #option, value)

// A GET as WinHTTP sends it: HTTP/1.1 over https only, the path as given,
// the body as the server encoded it, redirects left to follow_redirect().
bool configure_request(Exchange* ex, const Settings& s, CURLSH* share) {
    CURL* e = ex->easy;
    return SET_OPTION(e, CURLOPT_URL, ex->url) && SET_OPTION(e, CURLOPT_PROTOCOLS_STR, "https") &&
           SET_OPTION(e, CURLOPT_REDIR_PROTOCOLS_STR, "https") &&
           SET_OPTION(e, CURLOPT_FOLLOWLOCATION, 0L) && SET_OPTION(e, CURLOPT_HTTPGET, 1L) &&
           SET_OPTION(e, CURLOPT_PATH_AS_IS, 1L) &&
           SET_OPTION(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1)) &&
           SET_OPTION(e, CURLOPT_USERAGENT, s.agent) &&
           SET_OPTION(e, CURLOPT_HTTPHEADER, ex->headers) &&
           SET_OPTION(e, CURLOPT_HTTP_CONTENT_DECODING, 0L) &&
           SET_OPTION(e, CURLOPT_NOSIGNAL, 1L) && SET_OPTION(e, CURLOPT_SHARE, share) &&
           SET_OPTION(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
}

// Certificates checked against the trust store of on_tls_context(), within
// the session's protocol versions.
bool configure_tls(CURL* e, const Settings& s) {
    curl_ssl_ctx_callback tls_fn = on_tls_context;
    return SET_OPTION(e, CURLOPT_SSLVERSION, tls_range(s.protocols)) &&
           SET_OPTION(e, CURLOPT_SSL_VERIFYPEER, 1L) && SET_OPTION(e, CURLOPT_SSL_VERIFYHOST, 2L) &&
           SET_OPTION(e, CURLOPT_CAINFO, static_cast<const char*>(nullptr)) &&
           SET_OPTION(e, CURLOPT_CAPATH, static_cast<const char*>(nullptr)) &&
           SET_OPTION(e, CURLOPT_SSL_CTX_FUNCTION, tls_fn) &&
           // Handed back to on_tls_context as given, which only reads it.
           SET_OPTION(e, CURLOPT_SSL_CTX_DATA,
                      static_cast<void*>(const_cast<uint32_t*>(&s.protocols)));
}

// The callbacks that read the head and stage the body, and those that tell
// which step the transfer is in.
bool configure_callbacks(Exchange* ex) {
    CURL* e = ex->easy;
    curl_write_callback header_fn = on_header;
    curl_write_callback body_fn = on_body;
    curl_sockopt_callback socket_fn = on_socket;
    curl_prereq_callback connected_fn = on_connected;
    curl_debug_callback debug_fn = on_debug;
    return SET_OPTION(e, CURLOPT_HEADERFUNCTION, header_fn) &&
           SET_OPTION(e, CURLOPT_HEADERDATA, ex) && SET_OPTION(e, CURLOPT_WRITEFUNCTION, body_fn) &&
           SET_OPTION(e, CURLOPT_WRITEDATA, ex) &&
           SET_OPTION(e, CURLOPT_SOCKOPTFUNCTION, socket_fn) &&
           SET_OPTION(e, CURLOPT_SOCKOPTDATA, ex) &&
           SET_OPTION(e, CURLOPT_PREREQFUNCTION, connected_fn) &&
           SET_OPTION(e, CURLOPT_PREREQDATA, ex) &&
           SET_OPTION(e, CURLOPT_DEBUGFUNCTION, debug_fn) && SET_OPTION(e, CURLOPT_DEBUGDATA, ex) &&
           SET_OPTION(e, CURLOPT_VERBOSE, 1L);
}

// The length is read in on_header too and the body framed by it in
// on_body: WinHTTP fails only the number query on a length it cannot read,
// and a length past 64 bits still frames. libcurl frames as well, or it
// could not keep the connection; a length it refuses outright ("-5") fails
// the receive step here.
bool configure_transfer(Exchange* ex, const Settings& s, CURLSH* share) {
    CURL* e = ex->easy;
    // Curl's own bound covers lookup, connect and handshake of each hop
    // together; exchange_pump() holds every step to its own bound first.
    long connect_total = static_cast<long>(s.resolve_ms) + static_cast<long>(s.connect_ms);
    if (!configure_request(ex, s, share) ||
        !SET_OPTION(e, CURLOPT_CONNECTTIMEOUT_MS, connect_total) || !configure_tls(e, s) ||
        !configure_callbacks(ex))
        return false;
    // Direct access ignores the proxy variables; automatic access is
    // libcurl's reading of them.
    if (s.access_type == HTTP_ACCESS_NO_PROXY) return SET_OPTION(e, CURLOPT_PROXY, "");
    return true;
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
    ex->redirect_to_follow = false;
    ex->redirects += 1;
    memcpy(ex->url, ex->next_url, sizeof ex->url);
    head_reset(&ex->head);
    ex->phase = RESOLVE;
    ex->phase_since = posix_now_ms();
    ex->outcome_known = false;
    ex->hop_connected = false;
    if (curl_multi_remove_handle(ex->multi, ex->easy) != CURLM_OK) return false;
    if (curl_easy_setopt(ex->easy, CURLOPT_URL, ex->url) != CURLE_OK) return false;
    return curl_multi_add_handle(ex->multi, ex->easy) == CURLM_OK;
}

void resume_if_room(Exchange* ex) {
    if (!ex->transfer_paused || ex->outcome_known) return;
    size_t room = STAGE_BYTES - exchange_staged(ex);
    if (room < DELIVERY_MAX) return;
    ex->transfer_paused = false;
    // May deliver held data at once, which can pause again.
    if (curl_easy_pause(ex->easy, CURLPAUSE_CONT) != CURLE_OK) ex->given_up = true;
}

bool reached(const Exchange* ex, Goal goal) {
    switch (goal) {
        case GOAL_SENT: return ex->request_written || ex->final_head_read || ex->outcome_known;
        case GOAL_HEADERS: return ex->final_head_read || ex->outcome_known;
        case GOAL_BODY: return exchange_staged(ex) > 0 || ex->outcome_known;
    }
    return true;
}

// The outcome of a transfer libcurl ended before the stand-in knew one.
void settle_outcome(Exchange* ex, CURLcode result) {
    ex->outcome_known = true;
    ex->result = result;
    // Closed before the declared length: a broken body.
    if (result == CURLE_OK && ex->length_bounded && ex->body_count < ex->head.length)
        ex->result = CURLE_PARTIAL_FILE;
    // A length WinHTTP cannot read (libcurl reads "12abc" as 12) leaves the
    // body to end where the server closes.
    if (ex->result == CURLE_PARTIAL_FILE && !ex->head.chunked &&
        ex->head.length_state == LENGTH_INVALID)
        ex->result = CURLE_OK;
}

// Notes a transfer that libcurl reports ended.
void collect_ended(Exchange* ex) {
    int queued = 0;
    while (CURLMsg* msg = curl_multi_info_read(ex->multi, &queued)) {
        if (msg->msg != CURLMSG_DONE || msg->easy_handle != ex->easy) continue;
        ex->connection_released = true;
        if (!ex->outcome_known) settle_outcome(ex, msg->data.result);
    }
}

// Waits for the transfer's next activity, at most up to the current step's
// bound; false, giving the exchange up, once the bound ran out or libcurl
// broke down.
bool wait_for_activity(Exchange* ex, const Settings& s) {
    uint64_t now = posix_now_ms();
    uint64_t deadline = ex->phase_since + phase_bound(s, ex->phase);
    // Each header line restarts the wait for the next, as in WinHTTP; the
    // head as a whole has its own bound, so one that trickles still ends.
    if (ex->phase == RECEIVE && !ex->final_head_read) {
        uint64_t head_deadline = ex->request_sent_at + s.head_ms;
        if (head_deadline < deadline) deadline = head_deadline;
    }
    if (now >= deadline) {
        ex->given_up = true;
        ex->timed_out = true;
        return false;
    }
    uint64_t wait = deadline - now;
    if (wait > 1000) wait = 1000;
    if (curl_multi_poll(ex->multi, nullptr, 0, static_cast<int>(wait), nullptr) != CURLM_OK) {
        ex->given_up = true;
        return false;
    }
    return true;
}

// Gives the exchange's pages back once it is over, for the run's peak
// resident memory (the bench's target: a 1 GiB download within 1 MiB of a
// small one). The staging area becomes zero pages again until next touched,
// and what libcurl and OpenSSL freed goes back to the system, so what the
// run holds later (the digest) does not stack on the transfer's peak.
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
    if (!ex->length_bounded || !ex->outcome_known || ex->result != CURLE_OK ||
        exchange_staged(ex) != 0)
        return;
    for (int round = 0; round < 8 && !ex->connection_released; ++round) {
        int running = 0;
        if (curl_multi_perform(ex->multi, &running) != CURLM_OK) return;
        int queued = 0;
        while (CURLMsg* msg = curl_multi_info_read(ex->multi, &queued))
            if (msg->msg == CURLMSG_DONE && msg->easy_handle == ex->easy)
                ex->connection_released = true;
    }
}

}  // namespace

bool exchange_start(Exchange* ex, const Settings& s, CURLSH* share) {
    ex->phase = RESOLVE;
    ex->phase_since = posix_now_ms();
    ex->easy = curl_easy_init();
    ex->multi = curl_multi_init();
    if (ex->easy == nullptr || ex->multi == nullptr || !configure_transfer(ex, s, share) ||
        curl_multi_add_handle(ex->multi, ex->easy) != CURLM_OK) {
        ex->given_up = true;
        return false;
    }
    return true;
}

bool exchange_pump(Exchange* ex, const Settings& s, Goal goal) {
    if (ex->given_up) return false;
    g_pumping = ex;
    // A wait for the server's bytes starts when the caller starts waiting.
    uint64_t start = posix_now_ms();
    if (ex->phase == RECEIVE && ex->phase_since < start) ex->phase_since = start;
    resume_if_room(ex);
    for (;;) {
        if (ex->given_up) return false;
        if (reached(ex, goal)) return true;
        int running = 0;
        if (curl_multi_perform(ex->multi, &running) != CURLM_OK) {
            ex->given_up = true;
            return false;
        }
        collect_ended(ex);
        if (ex->given_up) return false;
        if (ex->redirect_to_follow) {
            if (!follow_redirect(ex)) {
                ex->given_up = true;
                return false;
            }
            continue;
        }
        if (reached(ex, goal)) return true;
        if (!wait_for_activity(ex, s)) return false;
    }
}

size_t exchange_staged(const Exchange* ex) { return ex->write_at - ex->read_at; }

size_t exchange_take(Exchange* ex, void* buffer, size_t max) {
    size_t staged = exchange_staged(ex);
    size_t n = staged < max ? staged : max;
    memcpy(buffer, ex->stage + ex->read_at, n);
    ex->read_at += n;
    if (ex->read_at == ex->write_at) ex->read_at = ex->write_at = 0;
    resume_if_room(ex);
    return n;
}

void exchange_close(Exchange* ex) {
    if (ex->multi != nullptr && ex->easy != nullptr && !ex->given_up) finish_read_body(ex);
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
