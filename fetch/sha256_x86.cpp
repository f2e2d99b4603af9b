// The SHA-256 compression with the x86-64 SHA extensions.
//
// Only this function is compiled for the SHA, SSE4.1 and SSSE3 instruction
// sets; it runs only after CPUID has reported all three.
#include "fetch/sha256.h"

#if defined(__x86_64__) || defined(_M_X64)

#include <cpuid.h>
#include <immintrin.h>

namespace {

// The working variables as the SHA instructions hold them: STATE0 = ABEF and
// STATE1 = CDGH, word A in the highest lane.
__attribute__((target("sha,sse4.1,ssse3"))) void compress_sha_ni(uint32_t state[8],
                                                                 const uint8_t* data,
                                                                 uint64_t blocks) {
    // Byte order of each 32-bit word reversed: the message is big-endian.
    const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
    const __m128i* k = reinterpret_cast<const __m128i*>(SHA256_ROUND_CONSTANTS);

    __m128i tmp = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[0]));     // DCBA
    __m128i state1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[4]));  // HGFE
    tmp = _mm_shuffle_epi32(tmp, 0xB1);                                             // CDAB
    state1 = _mm_shuffle_epi32(state1, 0x1B);                                       // EFGH
    __m128i state0 = _mm_alignr_epi8(tmp, state1, 8);                               // ABEF
    state1 = _mm_blend_epi16(state1, tmp, 0xF0);                                    // CDGH

    for (; blocks > 0; --blocks, data += 64) {
        const __m128i abef_saved = state0;
        const __m128i cdgh_saved = state1;
        const __m128i* in = reinterpret_cast<const __m128i*>(data);

        // Four message vectors m0..m3 hold W[4j .. 4j+3] for the last four
        // groups j; each group of four rounds uses one and computes the next.
        __m128i m0 = _mm_shuffle_epi8(_mm_loadu_si128(in + 0), byte_swap);
        __m128i m1 = _mm_shuffle_epi8(_mm_loadu_si128(in + 1), byte_swap);
        __m128i m2 = _mm_shuffle_epi8(_mm_loadu_si128(in + 2), byte_swap);
        __m128i m3 = _mm_shuffle_epi8(_mm_loadu_si128(in + 3), byte_swap);
        __m128i msg;

// Rounds 4j .. 4j+3 with the message vector `m`.
#define VARNEL_QUAD(j, m)                                \
    msg = _mm_add_epi32((m), _mm_loadu_si128(k + (j)));  \
    state1 = _mm_sha256rnds2_epu32(state1, state0, msg); \
    msg = _mm_shuffle_epi32(msg, 0x0E);                  \
    state0 = _mm_sha256rnds2_epu32(state0, state1, msg)
// W[t] = s1(W[t-2]) + W[t-7] + s0(W[t-15]) + W[t-16] for four t at once:
// `a` becomes the group after `d`, from the groups a, b, c, d in order.
#define VARNEL_NEXT(a, b, c, d) \
    a = _mm_sha256msg2_epu32(_mm_add_epi32(_mm_sha256msg1_epu32(a, b), _mm_alignr_epi8(d, c, 4)), d)

        VARNEL_QUAD(0, m0);
        VARNEL_QUAD(1, m1);
        VARNEL_QUAD(2, m2);
        VARNEL_QUAD(3, m3);
        VARNEL_NEXT(m0, m1, m2, m3);
        VARNEL_QUAD(4, m0);
        VARNEL_NEXT(m1, m2, m3, m0);
        VARNEL_QUAD(5, m1);
        VARNEL_NEXT(m2, m3, m0, m1);
        VARNEL_QUAD(6, m2);
        VARNEL_NEXT(m3, m0, m1, m2);
        VARNEL_QUAD(7, m3);
        VARNEL_NEXT(m0, m1, m2, m3);
        VARNEL_QUAD(8, m0);
        VARNEL_NEXT(m1, m2, m3, m0);
        VARNEL_QUAD(9, m1);
        VARNEL_NEXT(m2, m3, m0, m1);
        VARNEL_QUAD(10, m2);
        VARNEL_NEXT(m3, m0, m1, m2);
        VARNEL_QUAD(11, m3);
        VARNEL_NEXT(m0, m1, m2, m3);
        VARNEL_QUAD(12, m0);
        VARNEL_NEXT(m1, m2, m3, m0);
        VARNEL_QUAD(13, m1);
        VARNEL_NEXT(m2, m3, m0, m1);
        VARNEL_QUAD(14, m2);
        VARNEL_NEXT(m3, m0, m1, m2);
        VARNEL_QUAD(15, m3);
#undef VARNEL_NEXT
#undef VARNEL_QUAD

        state0 = _mm_add_epi32(state0, abef_saved);
        state1 = _mm_add_epi32(state1, cdgh_saved);
    }

    tmp = _mm_shuffle_epi32(state0, 0x1B);        // FEBA
    state1 = _mm_shuffle_epi32(state1, 0xB1);     // DCHG
    state0 = _mm_blend_epi16(tmp, state1, 0xF0);  // DCBA
    state1 = _mm_alignr_epi8(state1, tmp, 8);     // HGFE
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[0]), state0);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[4]), state1);
}

bool processor_has_sha_extensions() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) {
        return false;
    }
    const bool ssse3 = (ecx & (1u << 9)) != 0;
    const bool sse41 = (ecx & (1u << 19)) != 0;
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) {
        return false;
    }
    const bool sha = (ebx & (1u << 29)) != 0;
    return ssse3 && sse41 && sha;
}

}  // namespace

Sha256Compress sha256_compress_accelerated() {
    return processor_has_sha_extensions() ? &compress_sha_ni : nullptr;
}

#else

Sha256Compress sha256_compress_accelerated() { return nullptr; }

#endif
