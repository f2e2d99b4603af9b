// The stand-in's Authenticode check, with OpenSSL: the PE image's digest, the
// PKCS#7 signature over it and the signer's chain to the HTTPS trust store.
#pragma once

#include <cstdint>
#include <cstdio>

#include "platform/platform.h"

// As check_signature in platform.h; reads `file` from its start. A PE file or
// signature it cannot parse is ALTERED when the certificate table is there,
// NOT_SIGNED when it is not.
SignatureVerdict posix_check_signature(FILE* file, const char* path, char* signer,
                                       uint32_t capacity);
