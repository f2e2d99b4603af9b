// Streaming SHA-256 (FIPS 180-4) and the digest of a file.
#pragma once

#include <cstdint>
#include <cstdio>

#include "manifest/release.h"

struct Sha256Context {
    uint32_t state[8];
    uint64_t total_bytes;
    uint8_t block[64];
    uint64_t block_fill;
};

inline constexpr uint64_t DIGEST_BUFFER_SIZE = 1048576;

// Adds `length` bytes to the message held by `ctx`; cannot fail.
void sha256_update(Sha256Context* ctx, const void* data, uint64_t length);
// 64 lower-case hex digits into `out`, or "" when the file cannot be opened.
void sha256_file(const char* path, char (&out)[SHA256_HEX_CAPACITY]);
// The digest of what is left of `file`, read to its end and left open;
// returns the bytes digested. A read error ends the input early.
uint64_t sha256_stream(FILE* file, char (&out)[SHA256_HEX_CAPACITY]);
// sha256_file that also counts the bytes it digested; false, with "" and 0,
// when the file cannot be opened.
bool sha256_file_measured(const char* path, char (&out)[SHA256_HEX_CAPACITY], uint64_t* size);

// Compression of `blocks` consecutive 64-byte blocks into `state`.
typedef void (*Sha256Compress)(uint32_t state[8], const uint8_t* data, uint64_t blocks);
void sha256_compress_portable(uint32_t state[8], const uint8_t* data, uint64_t blocks);
// Null when the processor lacks the SHA extensions.
Sha256Compress sha256_compress_accelerated();
// Forces the portable compression (true) or the run-time choice (false).
void sha256_force_portable(bool portable);

// For tests, the fixture generator and the bench.

// H(0) and K of FIPS 180-4, section 5.3.3 and 4.2.2.
extern const uint32_t SHA256_INITIAL_STATE[8];
extern const uint32_t SHA256_ROUND_CONSTANTS[64];
// The compression sha256_update uses now: the accelerated one when the
// processor has the SHA extensions (decided once, by CPUID) and the portable
// one is not forced; otherwise the portable one.
Sha256Compress sha256_compress_selected();
// The digest of `length` bytes in memory, with the same initialisation,
// padding and formatting as sha256_file.
void sha256_digest_bytes(const void* data, uint64_t length, char (&out)[SHA256_HEX_CAPACITY]);
