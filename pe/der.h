// Reading DER, the encoding of certificates and signatures, without a
// library: both builds read a signature's structure with the same code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// DER tags the readers here meet.
enum : uint8_t {
    DER_INTEGER = 0x02,
    DER_OCTET_STRING = 0x04,
    DER_NULL = 0x05,
    DER_OID = 0x06,
    DER_UTF8_STRING = 0x0c,
    DER_PRINTABLE_STRING = 0x13,
    DER_TELETEX_STRING = 0x14,
    DER_IA5_STRING = 0x16,
    DER_GENERALIZED_TIME = 0x18,
    DER_VISIBLE_STRING = 0x1a,
    DER_UNIVERSAL_STRING = 0x1c,
    DER_BMP_STRING = 0x1e,
    DER_SEQUENCE = 0x30,
    DER_SET = 0x31,
    DER_CONTEXT_0 = 0xa0,  // [0], constructed
    DER_CONTEXT_1 = 0xa1,  // [1], constructed
};

// A span of DER: the items from `at` up to `end`.
struct DerSpan {
    const uint8_t* at;
    const uint8_t* end;
};

// One item: its tag (one byte: high tag numbers are refused), where it
// starts (its tag) and its body.
struct DerItem {
    uint8_t tag;
    const uint8_t* start;
    DerSpan body;
};

// The header of the item at `at`, read within `available` bytes: its tag,
// the bytes the header takes and the length of its body, which may run past
// `available`. False for a header cut short, a high tag number, an indefinite
// length or a length of more than four bytes.
// Inlined: one function fewer keeps the pinned Windows program within its size.
[[gnu::always_inline]] inline bool der_header(const uint8_t* at, size_t available, uint8_t* tag,
                                              size_t* header, size_t* length) {
    if (available < 2 || (at[0] & 0x1f) == 0x1f) return false;
    size_t bytes = (at[1] & 0x80) != 0 ? at[1] & 0x7fu : 0;
    if ((at[1] & 0x80) != 0 && (bytes == 0 || bytes > 4)) return false;
    if (available - 2 < bytes) return false;
    size_t n = bytes == 0 ? at[1] : 0;
    for (size_t i = 0; i < bytes; ++i) n = n << 8 | at[2 + i];
    *tag = at[0];
    *header = 2 + bytes;
    *length = n;
    return true;
}
// Takes the next item off the front of `span`. False, the span unchanged,
// when it is empty or the item is malformed: an indefinite length, a length
// of more than four bytes or past the span's end, a high tag number.
bool der_next(DerSpan* span, DerItem* item);
// der_next that also demands the tag; false for another.
bool der_expect(DerSpan* span, uint8_t tag, DerItem* item);
// The body of the next item, which must have `tag`, as a span; false else.
inline bool der_enter(DerSpan* span, uint8_t tag, DerSpan* body) {
    DerItem item;
    if (!der_expect(span, tag, &item)) return false;
    *body = item.body;
    return true;
}
// True when the item is an OBJECT IDENTIFIER with the content bytes `oid`.
inline bool der_is_oid(const DerItem& item, const uint8_t* oid, size_t length) {
    return item.tag == DER_OID && static_cast<size_t>(item.body.end - item.body.at) == length &&
           memcmp(item.body.at, oid, length) == 0;
}
template <size_t N>
bool der_is_oid(const DerItem& item, const uint8_t (&oid)[N]) {
    return der_is_oid(item, oid, N);
}
