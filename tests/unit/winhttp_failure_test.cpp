// The Windows binding's table of WinHTTP's failures; the Windows build only.
#include "win32/winhttp_failure.h"

// windows.h first: winhttp.h builds on its types.
#include <windows.h>
//
#include <gtest/gtest.h>
#include <winhttp.h>

namespace {

// What Windows names in its secure-failure notification, which Wine 8 never
// sends. Every other cause is a conformance case's fail= on both backends.
TEST(WinHttpFailure, WindowsNamesTheCertificateFaultInTheSecureFailure) {
    struct Case {
        const char* fault;
        uint32_t flags;
        HttpFailure cause;
    } cases[] = {
        {"certificate from a foreign CA", WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA,
         HttpFailure::TLS_UNTRUSTED},
        {"certificate for another name", WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID,
         HttpFailure::TLS_NAME},
        // The root is the one a publisher has to fix first.
        {"self-signed, for another name",
         WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA | WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID,
         HttpFailure::TLS_UNTRUSTED},
        {"handshake failed", WINHTTP_CALLBACK_STATUS_FLAG_SECURITY_CHANNEL_ERROR, HttpFailure::TLS},
    };
    for (const Case& k : cases)
        EXPECT_EQ(winhttp_failure_cause(ERROR_WINHTTP_SECURE_FAILURE, k.flags, false), k.cause)
            << k.fault;
}

}  // namespace
