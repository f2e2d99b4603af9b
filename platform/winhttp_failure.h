// WinHTTP's error codes and secure-failure flags as the platform's failure
// causes. Built on every platform, so the table is tested natively too; the
// Windows binding checks these numbers against winhttp.h.
#pragma once

#include <cstdint>

#include "platform/platform.h"

enum : uint32_t {
    WINHTTP_TIMEOUT = 12002,
    WINHTTP_NAME_NOT_RESOLVED = 12007,
    WINHTTP_CANNOT_CONNECT = 12029,
    WINHTTP_CONNECTION_ERROR = 12030,
    WINHTTP_CERT_DATE_INVALID = 12037,
    WINHTTP_CERT_CN_INVALID = 12038,
    WINHTTP_INVALID_CA = 12045,
    WINHTTP_INVALID_SERVER_RESPONSE = 12152,
    WINHTTP_REDIRECT_FAILED = 12156,
    WINHTTP_SECURE_CHANNEL_ERROR = 12157,
    WINHTTP_SECURE_INVALID_CERT = 12169,
    WINHTTP_SECURE_CERT_REVOKED = 12170,
    WINHTTP_SECURE_FAILURE = 12175,
    // Socket errors that Wine's WinHTTP passes on from a body read.
    WSA_CONNECTION_ABORTED = 10053,
    WSA_CONNECTION_RESET = 10054,
    WSA_TIMED_OUT = 10060,
    WINHTTP_FLAG_INVALID_CA = 0x08,
    WINHTTP_FLAG_CERT_CN_INVALID = 0x10,
    WINHTTP_FLAG_SECURITY_CHANNEL_ERROR = 0x80000000u,
};

// The cause of `error` (GetLastError after a failed call); `secure_flags`
// are the flags of the secure-failure notification (0 when none came) and
// `in_body` says the call was a body read. Unknown codes give OTHER.
HttpFailure winhttp_failure_cause(uint32_t error, uint32_t secure_flags, bool in_body);
