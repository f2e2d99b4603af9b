#include "platform/winhttp_failure.h"

namespace {

// The library folds every certificate and channel fault into one code and
// names them in the notification's flags; a missing root outranks a name
// mismatch, as it is the one a server's owner has to fix first. A channel error
// says no more than that the handshake failed.
HttpFailure secure_cause(uint32_t flags) {
    if (flags & WINHTTP_FLAG_INVALID_CA) return HttpFailure::TLS_UNTRUSTED;
    if (flags & WINHTTP_FLAG_CERT_CN_INVALID) return HttpFailure::TLS_NAME;
    return HttpFailure::TLS;
}

}  // namespace

HttpFailure winhttp_failure_cause(uint32_t error, uint32_t secure_flags, bool in_body) {
    switch (error) {
        case WINHTTP_NAME_NOT_RESOLVED: return HttpFailure::DNS;
        case WINHTTP_CANNOT_CONNECT: return HttpFailure::REFUSED;
        case WINHTTP_TIMEOUT:
        case WSA_TIMED_OUT: return HttpFailure::TIMEOUT;
        case WINHTTP_INVALID_CA: return HttpFailure::TLS_UNTRUSTED;
        case WINHTTP_CERT_CN_INVALID: return HttpFailure::TLS_NAME;
        // Not a version mismatch as such: Wine gives it for every failed
        // handshake, certificate faults included.
        case WINHTTP_SECURE_CHANNEL_ERROR:
        case WINHTTP_CERT_DATE_INVALID:
        case WINHTTP_SECURE_INVALID_CERT:
        case WINHTTP_SECURE_CERT_REVOKED: return HttpFailure::TLS;
        case WINHTTP_SECURE_FAILURE: return secure_cause(secure_flags);
        case WINHTTP_REDIRECT_FAILED: return HttpFailure::INSECURE_REDIRECT;
        case WINHTTP_CONNECTION_ERROR:
        case WINHTTP_INVALID_SERVER_RESPONSE:
        case WSA_CONNECTION_ABORTED:
        case WSA_CONNECTION_RESET: return in_body ? HttpFailure::TRANSFER : HttpFailure::OTHER;
        default: return HttpFailure::OTHER;
    }
}
