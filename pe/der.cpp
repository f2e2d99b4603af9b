#include "pe/der.h"

bool der_next(DerSpan* span, DerItem* item) {
    const uint8_t* start = span->at;
    const uint8_t* p = start;
    if (span->end - p < 2 || (p[0] & 0x1f) == 0x1f) return false;
    uint8_t tag = p[0];
    size_t length = p[1];
    p += 2;
    if (length & 0x80) {
        size_t bytes = length & 0x7f;
        if (bytes == 0 || bytes > 4 || static_cast<size_t>(span->end - p) < bytes) return false;
        length = 0;
        for (size_t i = 0; i < bytes; ++i) length = length << 8 | *p++;
    }
    if (length > static_cast<size_t>(span->end - p)) return false;
    *item = {tag, start, {p, p + length}};
    span->at = p + length;
    return true;
}

bool der_expect(DerSpan* span, uint8_t tag, DerItem* item) {
    DerSpan rest = *span;
    if (!der_next(&rest, item) || item->tag != tag) return false;
    *span = rest;
    return true;
}

size_t der_item_size(const uint8_t* at, size_t available) {
    DerSpan span = {at, at + available};
    DerItem item;
    return der_next(&span, &item) ? static_cast<size_t>(span.at - at) : 0;
}
