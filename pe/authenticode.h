// What an Authenticode signature says of itself, read from its DER with the
// same code on both builds; whether it holds is the platform's to check.
#pragma once

#include <cstddef>
#include <cstdint>

enum class SignatureDigest {
    STRONG,  // the file digest and the signer's digest are SHA-256, -384 or -512
    WEAK,    // either is anything else (SHA-1, MD5)
    BROKEN,  // not a PKCS#7 SignedData of Authenticode's indirect data
};

// The digests of the signature `der` (a PKCS#7 ContentInfo): the image
// digest inside its SpcIndirectDataContent and its first signer's digest.
SignatureDigest signature_digests(const uint8_t* der, size_t length);

// The text of the one common name in the X.501 Name `name`, as UTF-8 with
// its terminator. False, `out` then empty, when the name holds no common
// name or more than one, when its string type is not text or its bytes are
// not valid in that type, when it holds a NUL, or when it does not fit
// `capacity`: nothing is ever cut.
bool common_name(const uint8_t* name, size_t length, char* out, size_t capacity);

// Extended key usages a chain is checked for.
enum class KeyUsage { CODE_SIGNING, TIME_STAMPING };
// What a certificate's extended key usage extension says of `usage`.
enum class UsageSays {
    ANY,       // the certificate has no such extension: it may be used for anything
    NAMED,     // the extension names the usage, or any usage
    EXCLUDED,  // the extension names other usages only, or cannot be read
};
// Of the DER certificate `der`; EXCLUDED for one that cannot be read.
UsageSays certificate_usage(const uint8_t* der, size_t length, KeyUsage usage);

// SHA-2 digests by their place: SHA-256, SHA-384, SHA-512.
enum class Sha2 : uint8_t { SHA256, SHA384, SHA512 };

// Bytes inside a signature.
struct Bytes {
    const uint8_t* at;
    size_t length;
};

// An RFC 3161 time stamp of a signature, as its token says: what holds only
// once the platform has checked the token's signature (`token`, a PKCS#7
// ContentInfo), that its signer digested `tst_info` to `message_digest`
// with `token_digest`, and that `imprint` is the `imprint_digest` of
// `signed_value`, the signature's own value.
struct TimeStamp {
    int64_t seconds;  // genTime, seconds since 1970-01-01 UTC
    Bytes token;
    Bytes signed_value;
    Sha2 imprint_digest;
    Bytes imprint;
    Bytes tst_info;  // the TSTInfo's DER, as the token carries it
    Sha2 token_digest;
    Bytes message_digest;
};

// The time stamp among the first signer's unauthenticated attributes of the
// signature `der` (a PKCS#7 ContentInfo); false when it has none, or one that
// is not well formed or digests with anything but SHA-2.
bool signature_time_stamp(const uint8_t* der, size_t length, TimeStamp* stamp);
