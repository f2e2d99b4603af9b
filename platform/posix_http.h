// The POSIX stand-in for the HTTP client library, over libcurl. It keeps the
// library's promises: synchronous steps, pull-style body reads with bounded
// memory, the session's timeouts and TLS versions, redirects and certificate
// checks as the Windows defaults have them.
#pragma once

#include <cstdint>

#include "platform/platform.h"

HttpHandle posix_http_open(const char16_t* agent, uint32_t access_type);
bool posix_http_set_option(HttpHandle session, uint32_t option, uint32_t value);
HttpHandle posix_http_connect(HttpHandle session, const char16_t* host, uint16_t port);
HttpHandle posix_http_open_request(HttpHandle connection, const char16_t* verb,
                                   const char16_t* path, uint32_t flags);
bool posix_http_add_headers(HttpHandle request, const char16_t* header, uint32_t flags);
bool posix_http_send_request(HttpHandle request);
bool posix_http_receive_response(HttpHandle request);
bool posix_http_query_number(HttpHandle request, uint32_t query, uint32_t* value);
bool posix_http_query_data_available(HttpHandle request, uint32_t* count);
bool posix_http_read_data(HttpHandle request, void* buffer, uint32_t max, uint32_t* read);
void posix_http_close_handle(HttpHandle handle);
HttpFailure posix_http_take_failure();

// The cause of a failed step from libcurl's result (a CURLcode), the
// chain's verify error (an X509_V_ value, X509_V_OK when it verified) and whether the handshake
// ended on a protocol-version alert; `in_body` says the step was a body
// read. Results it does not know give OTHER.
HttpFailure posix_failure_cause(int curl_result, long verify_result, bool version_alert,
                                bool in_body);

// Handles opened and not yet closed, of every kind; tests check it returns
// to 0.
int posix_http_live_handles();
