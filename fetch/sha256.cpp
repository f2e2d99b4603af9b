// SHA-256 file digest (FIPS 180-4).
#include "fetch/sha256.h"

#include <cstdio>
#include <cstring>

alignas(16) const uint32_t SHA256_INITIAL_STATE[8] = {
    0x6a09e667u, 0xbb67ae85u, 0x3c6ef372u, 0xa54ff53au,
    0x510e527fu, 0x9b05688cu, 0x1f83d9abu, 0x5be0cd19u,
};

alignas(16) const uint32_t SHA256_ROUND_CONSTANTS[64] = {
    0x428a2f98u, 0x71374491u, 0xb5c0fbcfu, 0xe9b5dba5u, 0x3956c25bu, 0x59f111f1u, 0x923f82a4u,
    0xab1c5ed5u, 0xd807aa98u, 0x12835b01u, 0x243185beu, 0x550c7dc3u, 0x72be5d74u, 0x80deb1feu,
    0x9bdc06a7u, 0xc19bf174u, 0xe49b69c1u, 0xefbe4786u, 0x0fc19dc6u, 0x240ca1ccu, 0x2de92c6fu,
    0x4a7484aau, 0x5cb0a9dcu, 0x76f988dau, 0x983e5152u, 0xa831c66du, 0xb00327c8u, 0xbf597fc7u,
    0xc6e00bf3u, 0xd5a79147u, 0x06ca6351u, 0x14292967u, 0x27b70a85u, 0x2e1b2138u, 0x4d2c6dfcu,
    0x53380d13u, 0x650a7354u, 0x766a0abbu, 0x81c2c92eu, 0x92722c85u, 0xa2bfe8a1u, 0xa81a664bu,
    0xc24b8b70u, 0xc76c51a3u, 0xd192e819u, 0xd6990624u, 0xf40e3585u, 0x106aa070u, 0x19a4c116u,
    0x1e376c08u, 0x2748774cu, 0x34b0bcb5u, 0x391c0cb3u, 0x4ed8aa4au, 0x5b9cca4fu, 0x682e6ff3u,
    0x748f82eeu, 0x78a5636fu, 0x84c87814u, 0x8cc70208u, 0x90befffau, 0xa4506cebu, 0xbef9a3f7u,
    0xc67178f2u,
};

namespace {

// The one static digest buffer of the run.
alignas(64) uint8_t g_digest_buffer[DIGEST_BUFFER_SIZE];

bool g_force_portable = false;

// The compression for the whole run, decided on first use.
Sha256Compress g_chosen_compress = nullptr;

Sha256Compress chosen_compress() {
    if (g_chosen_compress == nullptr) {
        Sha256Compress accelerated = sha256_compress_accelerated();
        g_chosen_compress = accelerated != nullptr ? accelerated : &sha256_compress_portable;
    }
    return g_chosen_compress;
}

inline uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

inline uint32_t load_be32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

inline uint32_t big_sigma0(uint32_t x) { return rotr(x, 2) ^ rotr(x, 13) ^ rotr(x, 22); }
inline uint32_t big_sigma1(uint32_t x) { return rotr(x, 6) ^ rotr(x, 11) ^ rotr(x, 25); }
inline uint32_t small_sigma0(uint32_t x) { return rotr(x, 7) ^ rotr(x, 18) ^ (x >> 3); }
inline uint32_t small_sigma1(uint32_t x) { return rotr(x, 17) ^ rotr(x, 19) ^ (x >> 10); }
// Ch(x,y,z) = (x AND y) XOR (NOT x AND z); Maj(x,y,z) = (x AND y) XOR (x AND z) XOR (y AND z).
inline uint32_t choose(uint32_t x, uint32_t y, uint32_t z) { return z ^ (x & (y ^ z)); }
inline uint32_t majority(uint32_t x, uint32_t y, uint32_t z) { return (x & y) | (z & (x | y)); }

void start(Sha256Context* ctx) {
    memcpy(ctx->state, SHA256_INITIAL_STATE, sizeof ctx->state);
    ctx->total_bytes = 0;
    ctx->block_fill = 0;
}

// The end of every digest: the padding of FIPS 180-4, section 5.1.1, fed
// through sha256_update, and the result text. `bit_length` was taken before
// the padding.
void finish(Sha256Context* ctx, uint64_t bit_length, char (&out)[SHA256_HEX_CAPACITY]) {
    const uint8_t one_bit = 0x80;
    const uint8_t zero = 0;
    sha256_update(ctx, &one_bit, 1);
    while (ctx->block_fill != 56) {
        sha256_update(ctx, &zero, 1);
    }
    uint8_t length_bytes[8];
    for (int i = 0; i < 8; ++i) {
        length_bytes[i] = static_cast<uint8_t>(bit_length >> (56 - 8 * i));
    }
    sha256_update(ctx, length_bytes, sizeof length_bytes);

    for (int word = 0; word < 8; ++word) {
        for (int byte = 0; byte < 4; ++byte) {
            unsigned value = (ctx->state[word] >> (24 - 8 * byte)) & 0xffu;
            snprintf(out + 8 * word + 2 * byte, 3, "%02x", value);
        }
    }
    out[SHA256_HEX_LENGTH] = '\0';
}

}  // namespace

void sha256_force_portable(bool portable) { g_force_portable = portable; }

Sha256Compress sha256_compress_selected() {
    return g_force_portable ? &sha256_compress_portable : chosen_compress();
}

void sha256_update(Sha256Context* ctx, const void* data, uint64_t length) {
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    ctx->total_bytes += length;
    const Sha256Compress compress = sha256_compress_selected();
    while (length > 0) {
        uint64_t take = 64 - ctx->block_fill;
        if (take > length) {
            take = length;
        }
        memcpy(ctx->block + ctx->block_fill, bytes, static_cast<size_t>(take));
        ctx->block_fill += take;
        if (ctx->block_fill == 64) {
            compress(ctx->state, ctx->block, 1);
            ctx->block_fill = 0;
        }
        bytes += take;
        length -= take;
    }
}

void sha256_file(const char* path, char (&out)[SHA256_HEX_CAPACITY]) {
    uint64_t size = 0;
    (void)sha256_file_measured(path, out, &size);
}

uint64_t sha256_stream(FILE* file, char (&out)[SHA256_HEX_CAPACITY]) {
    Sha256Context ctx;
    start(&ctx);
    size_t count;
    while ((count = fread(g_digest_buffer, 1, DIGEST_BUFFER_SIZE, file)) != 0) {
        sha256_update(&ctx, g_digest_buffer, count);
    }
    const uint64_t digested = ctx.total_bytes;
    finish(&ctx, digested << 3, out);
    return digested;
}

bool sha256_file_measured(const char* path, char (&out)[SHA256_HEX_CAPACITY], uint64_t* size) {
    *size = 0;
    FILE* file = fopen(path, "rb");
    if (file == nullptr) {
        out[0] = '\0';
        return false;
    }
    *size = sha256_stream(file, out);
    fclose(file);
    return true;
}

void sha256_digest_bytes(const void* data, uint64_t length, char (&out)[SHA256_HEX_CAPACITY]) {
    Sha256Context ctx;
    start(&ctx);
    sha256_update(&ctx, data, length);
    finish(&ctx, ctx.total_bytes << 3, out);
}

// FIPS 180-4, section 6.2.2, with the message schedule kept in a ring of 16
// words and the rounds unrolled so that the working variables rotate by name.
// Rounds t and t+16 share ring slot t mod 16, so each group of 16 rounds
// below uses constant slot indices.
void sha256_compress_portable(uint32_t state[8], const uint8_t* data, uint64_t blocks) {
    for (; blocks > 0; --blocks, data += 64) {
        uint32_t w[16];
        uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        uint32_t e = state[4], f = state[5], g = state[6], h = state[7];

#define VARNEL_ROUND(a, b, c, d, e, f, g, h, kt, wt)                             \
    do {                                                                         \
        uint32_t t1 = (h) + big_sigma1(e) + choose((e), (f), (g)) + (kt) + (wt); \
        (d) += t1;                                                               \
        (h) = t1 + big_sigma0(a) + majority((a), (b), (c));                      \
    } while (0)
#define VARNEL_LOAD(i) (w[i] = load_be32(data + 4 * (i)))
#define VARNEL_EXTEND(i) \
    (w[i] += small_sigma1(w[((i) + 14) & 15]) + w[((i) + 9) & 15] + small_sigma0(w[((i) + 1) & 15]))
#define VARNEL_EIGHT(kp, i, WORD)                                       \
    VARNEL_ROUND(a, b, c, d, e, f, g, h, (kp)[(i) + 0], WORD((i) + 0)); \
    VARNEL_ROUND(h, a, b, c, d, e, f, g, (kp)[(i) + 1], WORD((i) + 1)); \
    VARNEL_ROUND(g, h, a, b, c, d, e, f, (kp)[(i) + 2], WORD((i) + 2)); \
    VARNEL_ROUND(f, g, h, a, b, c, d, e, (kp)[(i) + 3], WORD((i) + 3)); \
    VARNEL_ROUND(e, f, g, h, a, b, c, d, (kp)[(i) + 4], WORD((i) + 4)); \
    VARNEL_ROUND(d, e, f, g, h, a, b, c, (kp)[(i) + 5], WORD((i) + 5)); \
    VARNEL_ROUND(c, d, e, f, g, h, a, b, (kp)[(i) + 6], WORD((i) + 6)); \
    VARNEL_ROUND(b, c, d, e, f, g, h, a, (kp)[(i) + 7], WORD((i) + 7))

        const uint32_t* k = SHA256_ROUND_CONSTANTS;
        VARNEL_EIGHT(k, 0, VARNEL_LOAD);
        VARNEL_EIGHT(k, 8, VARNEL_LOAD);
        for (int t = 16; t < 64; t += 16) {
            VARNEL_EIGHT(k + t, 0, VARNEL_EXTEND);
            VARNEL_EIGHT(k + t, 8, VARNEL_EXTEND);
        }
#undef VARNEL_EIGHT
#undef VARNEL_EXTEND
#undef VARNEL_LOAD
#undef VARNEL_ROUND

        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }
}
