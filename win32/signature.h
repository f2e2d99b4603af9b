// The Windows binding's Authenticode check: WinVerifyTrust, then the
// signer's chain judged here, at the signature's RFC 3161 time stamp.
#pragma once

#include <cstdio>

#include "platform/platform.h"

// As check_signature in platform.h.
SignatureVerdict win32_check_signature(FILE* file, const char* path, const uint8_t* signature,
                                       uint32_t signature_length, SignerFacts* signer);
