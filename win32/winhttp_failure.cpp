#include "win32/winhttp_failure.h"

// windows.h first: winhttp.h builds on its types.
#include <windows.h>
//
#include <winhttp.h>

namespace {

// The library folds every certificate and channel fault into one code and
// names them in the notification's flags; a missing root outranks a name
// mismatch, as it is the one a server's owner has to fix first. A channel error
// says no more than that the handshake failed.
HttpFailure secure_cause(uint32_t flags) {
    if (flags & WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA) return HttpFailure::TLS_UNTRUSTED;
    if (flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID) return HttpFailure::TLS_NAME;
    return HttpFailure::TLS;
}

}  // namespace

// The WSAE codes are socket errors that Wine's WinHTTP passes on from a body
// read.
HttpFailure winhttp_failure_cause(uint32_t error, uint32_t secure_flags, bool in_body) {
    switch (error) {
        case ERROR_WINHTTP_NAME_NOT_RESOLVED: return HttpFailure::DNS;
        case ERROR_WINHTTP_CANNOT_CONNECT: return HttpFailure::REFUSED;
        case ERROR_WINHTTP_TIMEOUT:
        case WSAETIMEDOUT: return HttpFailure::TIMEOUT;
        case ERROR_WINHTTP_SECURE_INVALID_CA: return HttpFailure::TLS_UNTRUSTED;
        case ERROR_WINHTTP_SECURE_CERT_CN_INVALID: return HttpFailure::TLS_NAME;
        // Not a version mismatch as such: Wine gives it for every failed
        // handshake, certificate faults included.
        case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
        case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
        case ERROR_WINHTTP_SECURE_INVALID_CERT:
        case ERROR_WINHTTP_SECURE_CERT_REVOKED: return HttpFailure::TLS;
        case ERROR_WINHTTP_SECURE_FAILURE: return secure_cause(secure_flags);
        case ERROR_WINHTTP_REDIRECT_FAILED: return HttpFailure::INSECURE_REDIRECT;
        case ERROR_WINHTTP_CONNECTION_ERROR:
        case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
        case WSAECONNABORTED:
        case WSAECONNRESET: return in_body ? HttpFailure::TRANSFER : HttpFailure::OTHER;
        default: return HttpFailure::OTHER;
    }
}
