// The POSIX stand-in for the HTTP client library, over libcurl. It keeps the
// library's promises: synchronous steps, pull-style body reads with bounded
// memory, the session's timeouts and TLS versions, redirects and certificate
// checks as the Windows defaults have them. Each operation is the seam's
// operation of the same name (platform/platform.h) and fails as it does.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// A session with its own connection cache; null for an access type other
// than none or automatic, or when no record or libcurl share is left.
HttpHandle posix_http_open(const char16_t* agent, uint32_t access_type);
// Stores a timeout (0 keeps the default) or the secure protocols on a
// session; false for another handle, an unknown option or no known protocol.
bool posix_http_set_option(HttpHandle session, uint32_t option, uint32_t value);
// A connection to `host` on port 443 with the session's settings; null for
// another port, an empty host or no record left. A host that cannot be
// looked up is accepted here and fails when sent.
HttpHandle posix_http_connect(HttpHandle session, const char16_t* host, uint16_t port);
// A secure GET of `path`; null for another verb, a plain request, or no
// record or exchange left.
HttpHandle posix_http_open_request(HttpHandle connection, const char16_t* verb,
                                   const char16_t* path, uint32_t flags);
// Adds CRLF-separated "Name: value" lines before the send; false after it,
// for a line without a name, or when the text does not fit.
bool posix_http_add_headers(HttpHandle request, const char16_t* header, uint32_t flags);
// Sends the request; false when the name is not found, the connection or
// handshake fails, a step's bound runs out, or it was sent before.
bool posix_http_send_request(HttpHandle request);
// Waits for the response's head, following redirects; false before a send,
// after a success, on too many redirects, too large a head, a broken
// connection or a bound run out.
bool posix_http_receive_response(HttpHandle request);
// The status or the declared length as a number; false before a received
// response, for another query, or a length that is absent, unreadable or
// past 32 bits.
bool posix_http_query_number(HttpHandle request, uint32_t query, uint32_t* value);
// Waits for body bytes and counts them (0 at the body's end); false, with
// `*count` 0, on a broken or stalled body or before a received response.
bool posix_http_query_data_available(HttpHandle request, uint32_t* count);
// Moves up to `max` body bytes to `buffer`, waiting for some; `*read` 0 at
// the body's end. False, with `*read` 0, as for the count above.
bool posix_http_read_data(HttpHandle request, void* buffer, uint32_t max, uint32_t* read);
// Closes a handle of any kind, parents before children allowed; a closed,
// foreign or null handle is ignored.
void posix_http_close_handle(HttpHandle handle);
// Why the most recent failed call above failed, since the previous take,
// which it clears; NONE when none failed.
HttpFailure posix_http_take_failure();

// The cause of a failed step from libcurl's result (a CURLcode), the
// chain's verify error (an X509_V_ value, X509_V_OK when it verified) and
// whether the handshake ended on a protocol-version alert; `in_body` says
// the step was a body read. Results it does not know give OTHER.
HttpFailure posix_failure_cause(int curl_result, long verify_result, bool version_alert,
                                bool in_body);

// Handles opened and not yet closed, of every kind; tests check it returns
// to 0.
int posix_http_live_handles();
