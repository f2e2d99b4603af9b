// The stand-in's Authenticode check, with OpenSSL: the PE image's digest, the
// PKCS#7 signature over it, its RFC 3161 time stamp and the signer's chain to
// the HTTPS trust store, in a verification context of its own.
#pragma once

#include <cstdio>

#include "platform/platform.h"

// As check_signature in platform.h. A file that is no PE image is
// NOT_SIGNED; a signature that cannot be parsed is ALTERED.
SignatureVerdict posix_check_signature(FILE* file, const char* path, const uint8_t* signature,
                                       uint32_t signature_length, SignerFacts* signer);
