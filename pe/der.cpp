#include "pe/der.h"

bool der_next(DerSpan* span, DerItem* item) {
    const size_t available = static_cast<size_t>(span->end - span->at);
    uint8_t tag = 0;
    size_t header = 0;
    size_t length = 0;
    if (!der_header(span->at, available, &tag, &header, &length) || length > available - header)
        return false;
    const uint8_t* body = span->at + header;
    *item = {tag, span->at, {body, body + length}};
    span->at = body + length;
    return true;
}

bool der_expect(DerSpan* span, uint8_t tag, DerItem* item) {
    DerSpan rest = *span;
    if (!der_next(&rest, item) || item->tag != tag) return false;
    *span = rest;
    return true;
}
