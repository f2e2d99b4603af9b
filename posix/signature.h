// The stand-in's Authenticode check, with OpenSSL: the PE image's digest, the
// PKCS#7 signature over it, its RFC 3161 time stamp and the signer's chain to
// the HTTPS trust store, in a verification context of its own.
#pragma once

#include <cstdio>

#include "platform/platform.h"

// As check_signature in platform.h; reads `file` from its start. A file with
// no certificate table is NOT_SIGNED; one whose table or signature cannot be
// parsed is ALTERED.
SignatureVerdict posix_check_signature(FILE* file, const char* path, SignerFacts* signer);
