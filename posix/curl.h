// The libcurl plumbing of the HTTP stand-in: one exchange is one easy
// transfer on a multi handle of its own, driven from the calling thread so
// every step is synchronous as WinHTTP's are. Body bytes pass through the
// exchange's fixed staging area: a full area pauses the transfer until the
// consumer drains it. Redirects are followed here, hop by hop on the same
// handle, as WinHTTP's default policy follows them.
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"
#include "posix/response_head.h"

constexpr size_t STAGE_BYTES = 128 * 1024;
constexpr size_t URL_BYTES = HEAD_LOCATION_BYTES;
// The protocol bits of WinHTTP's secure-protocols option that platform.h
// leaves out, as the program never names them.
constexpr uint32_t SECURE_TLS1_0 = 0x80;
constexpr uint32_t SECURE_TLS1_3 = 0x2000;

// What a session sets and its children inherit when they are opened.
struct Settings {
    char agent[512];
    uint32_t access_type;
    // WinHTTP's defaults, except that a lookup is never left unbounded.
    uint32_t resolve_ms = 60000;
    uint32_t connect_ms = 60000;
    uint32_t send_ms = 30000;
    uint32_t receive_ms = 30000;
    // The wait for a whole response head, interim heads included.
    uint32_t head_ms = 90000;
    uint32_t protocols = SECURE_TLS1_0 | HTTP_PROTOCOL_TLS1_1 | HTTP_PROTOCOL_TLS1_2;
};

// The step whose bound the current wait is held to.
enum Phase : uint8_t { RESOLVE, CONNECT, SEND, RECEIVE };
// What a pump waits for.
enum Goal : uint8_t { GOAL_SENT, GOAL_HEADERS, GOAL_BODY };

struct Exchange {
    bool in_use;
    CURL* easy;
    CURLM* multi;
    curl_slist* headers;
    char url[URL_BYTES];       // of the current hop
    char next_url[URL_BYTES];  // where the redirect being followed leads

    // The send step was called: no more headers, no second send.
    bool send_called;
    // The request itself (not a proxy's CONNECT) went to the server.
    bool request_written;
    // The receive step succeeded: the caller may query and read.
    bool receive_succeeded;
    // The head of the response that is the answer (no interim response and
    // no followed redirect) is complete; later header lines are trailers.
    bool final_head_read;
    // The response's end is known and `result` says how it ended.
    bool outcome_known;
    // The stand-in gave up the exchange (a bound ran out, libcurl broke
    // down, too many redirects, too large a head): every later step fails.
    bool given_up;
    // The body callback paused the transfer for want of staging room.
    bool transfer_paused;
    // libcurl has ended the transfer and so kept or closed its connection.
    bool connection_released;
    // A followed redirect's head is complete; the next hop is due.
    bool redirect_to_follow;
    // The hop's connection is up (after any proxy tunnel and the handshake).
    bool hop_connected;
    // The body ends after head.length bytes (see configure_transfer()).
    bool length_bounded;
    // Why a failed step failed, beyond libcurl's result: the step's own bound
    // ran out; the handshake ended on a protocol-version alert; a redirect to
    // http was left unfollowed; the chain's verify error (0 once verified).
    bool timed_out, version_alert, insecure_redirect;
    long verify_error;
    CURLcode result;
    int redirects;
    Phase phase;
    // When the current step began or last saw the server's bytes, and when
    // the request went out (a head is bounded as a whole from there).
    uint64_t phase_since;
    uint64_t request_sent_at;

    // The head being read: the answer's once final_head_read.
    ResponseHead head;
    uint64_t body_count;

    size_t read_at, write_at;  // the staged bytes are stage[read_at, write_at)
    unsigned char stage[STAGE_BYTES];
};

// Makes the exchange's transfer on `share` with the settings `s`, which
// must outlive it, and starts it; false when libcurl refuses a handle or an
// option (a debug build names the option on stderr).
bool exchange_start(Exchange* ex, const Settings& s, CURLSH* share);

// Runs the transfer until `goal` or the end of the transfer; false when the
// exchange is or becomes given up: the wait of the current step ran past
// its bound, a redirect could not be followed, or libcurl broke down.
bool exchange_pump(Exchange* ex, const Settings& s, Goal goal);

// Bytes staged and not yet read.
size_t exchange_staged(const Exchange* ex);

// Moves up to `max` staged bytes to `buffer` and lets a paused transfer go
// on once a delivery fits again (giving it up when libcurl refuses);
// returns the count moved.
size_t exchange_take(Exchange* ex, void* buffer, size_t max);

// Ends the transfer and frees its libcurl handles and header list, each
// once, leaving a body read to its end's connection in the share's cache;
// then gives the exchange's memory back. Never fails.
void exchange_close(Exchange* ex);
