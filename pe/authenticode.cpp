#include "pe/authenticode.h"

#include <cstring>

#include "pe/der.h"

namespace {

const uint8_t OID_SIGNED_DATA[] = {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x07, 0x02};
const uint8_t OID_SPC_INDIRECT_DATA[] = {0x2b, 0x06, 0x01, 0x04, 0x01,
                                         0x82, 0x37, 0x02, 0x01, 0x04};
const uint8_t OID_TST_INFO[] = {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x09, 0x10, 0x01, 0x04};
const uint8_t OID_COMMON_NAME[] = {0x55, 0x04, 0x03};
// 2.16.840.1.101.3.4.2.n: SHA-256, -384, -512 for n = 1, 2, 3.
const uint8_t OID_SHA2_PREFIX[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02};

// The SHA-2 digest an AlgorithmIdentifier names: 1 to 3, else 0.
int sha2_of(DerSpan* span) {
    DerSpan algorithm;
    DerItem oid;
    if (!der_enter(span, DER_SEQUENCE, &algorithm) || !der_expect(&algorithm, DER_OID, &oid))
        return 0;
    size_t n = sizeof OID_SHA2_PREFIX;
    if (static_cast<size_t>(oid.body.end - oid.body.at) != n + 1 ||
        memcmp(oid.body.at, OID_SHA2_PREFIX, n) != 0)
        return 0;
    uint8_t last = oid.body.at[n];
    return last >= 1 && last <= 3 ? last : 0;
}

Bytes bytes_of(DerSpan span) { return {span.at, static_cast<size_t>(span.end - span.at)}; }

// A PKCS#7 SignedData with its first signer, as both signatures here (the
// file's and a time stamp's) are read.
struct SignedMessage {
    DerSpan content;            // inside the encapsulated content's [0] EXPLICIT
    int digest;                 // the first signer's: 1 to 3 for SHA-2, else 0
    DerSpan signed_attributes;  // empty when there are none
    DerSpan signature;
    DerSpan unsigned_attributes;  // empty when there are none
};

// The ContentInfo `der` as a SignedData whose content is of type `type`.
bool signed_message(Bytes der, const uint8_t* type, size_t type_length, SignedMessage* m) {
    DerSpan span = {der.at, der.at + der.length};
    DerSpan info;
    DerSpan data;
    DerSpan encapsulated;
    DerSpan signers;
    DerSpan signer;
    DerItem oid;
    DerItem skip;
    if (!der_enter(&span, DER_SEQUENCE, &info) || !der_expect(&info, DER_OID, &oid) ||
        !der_is_oid(oid, OID_SIGNED_DATA) || !der_enter(&info, DER_CONTEXT_0, &data) ||
        !der_enter(&data, DER_SEQUENCE, &data) || !der_expect(&data, DER_INTEGER, &skip) ||
        !der_expect(&data, DER_SET, &skip) || !der_enter(&data, DER_SEQUENCE, &encapsulated) ||
        !der_expect(&encapsulated, DER_OID, &oid) || !der_is_oid(oid, type, type_length) ||
        !der_enter(&encapsulated, DER_CONTEXT_0, &m->content))
        return false;
    // Certificates and CRLs, when there, come before the signer infos.
    (void)der_expect(&data, DER_CONTEXT_0, &skip);
    (void)der_expect(&data, DER_CONTEXT_1, &skip);
    if (!der_enter(&data, DER_SET, &signers) || !der_enter(&signers, DER_SEQUENCE, &signer) ||
        !der_expect(&signer, DER_INTEGER, &skip) || !der_expect(&signer, DER_SEQUENCE, &skip))
        return false;
    m->digest = sha2_of(&signer);
    m->signed_attributes = {signer.end, signer.end};
    (void)der_enter(&signer, DER_CONTEXT_0, &m->signed_attributes);
    m->unsigned_attributes = {signer.end, signer.end};
    if (!der_expect(&signer, DER_SEQUENCE, &skip) || !der_expect(&signer, DER_OCTET_STRING, &skip))
        return false;
    m->signature = skip.body;
    (void)der_enter(&signer, DER_CONTEXT_1, &m->unsigned_attributes);
    return true;
}

}  // namespace

SignatureDigest signature_digests(const uint8_t* der, size_t length) {
    SignedMessage m;
    DerSpan indirect;
    DerSpan digest_info;
    DerItem skip;
    if (!signed_message({der, length}, OID_SPC_INDIRECT_DATA, sizeof OID_SPC_INDIRECT_DATA, &m) ||
        !der_enter(&m.content, DER_SEQUENCE, &indirect) ||
        !der_expect(&indirect, DER_SEQUENCE, &skip) ||
        !der_enter(&indirect, DER_SEQUENCE, &digest_info))
        return SignatureDigest::BROKEN;
    return sha2_of(&digest_info) != 0 && m.digest != 0 ? SignatureDigest::STRONG
                                                       : SignatureDigest::WEAK;
}

namespace {

const uint8_t OID_EXTENDED_KEY_USAGE[] = {0x55, 0x1d, 0x25};
const uint8_t OID_ANY_EXTENDED_KEY_USAGE[] = {0x55, 0x1d, 0x25, 0x00};
// 1.3.6.1.5.5.7.3.3 and .8.
const uint8_t OID_CODE_SIGNING[] = {0x2b, 0x06, 0x01, 0x05, 0x05, 0x07, 0x03, 0x03};
const uint8_t OID_TIME_STAMPING[] = {0x2b, 0x06, 0x01, 0x05, 0x05, 0x07, 0x03, 0x08};

// The extensions of a certificate: past the TBSCertificate's fields.
bool extensions(const uint8_t* der, size_t length, DerSpan* list) {
    DerSpan span = {der, der + length};
    DerSpan certificate;
    DerSpan tbs;
    DerItem item;
    if (!der_enter(&span, DER_SEQUENCE, &certificate) ||
        !der_enter(&certificate, DER_SEQUENCE, &tbs))
        return false;
    while (der_next(&tbs, &item)) {
        // [3] EXPLICIT Extensions, after the optional unique identifiers.
        if (item.tag != 0xa3) continue;
        return der_enter(&item.body, DER_SEQUENCE, list);
    }
    *list = {tbs.end, tbs.end};
    return tbs.at == tbs.end;
}

// Whether the KeyPurposeId list in the extension's value names `wanted`.
UsageSays usage_named(DerSpan value, const uint8_t* wanted) {
    DerSpan purposes;
    DerItem purpose;
    if (!der_enter(&value, DER_SEQUENCE, &purposes)) return UsageSays::EXCLUDED;
    while (der_expect(&purposes, DER_OID, &purpose))
        if (der_is_oid(purpose, wanted, sizeof OID_CODE_SIGNING) ||
            der_is_oid(purpose, OID_ANY_EXTENDED_KEY_USAGE))
            return UsageSays::NAMED;
    return UsageSays::EXCLUDED;
}

}  // namespace

UsageSays certificate_usage(const uint8_t* der, size_t length, KeyUsage usage) {
    DerSpan list;
    if (!extensions(der, length, &list)) return UsageSays::EXCLUDED;
    DerSpan extension;
    while (der_enter(&list, DER_SEQUENCE, &extension)) {
        DerItem type;
        DerItem critical;
        DerSpan value;
        if (!der_expect(&extension, DER_OID, &type)) return UsageSays::EXCLUDED;
        if (!der_is_oid(type, OID_EXTENDED_KEY_USAGE)) continue;
        (void)der_expect(&extension, 0x01, &critical);
        if (!der_enter(&extension, DER_OCTET_STRING, &value)) return UsageSays::EXCLUDED;
        return usage_named(value,
                           usage == KeyUsage::CODE_SIGNING ? OID_CODE_SIGNING : OID_TIME_STAMPING);
    }
    return list.at == list.end ? UsageSays::ANY : UsageSays::EXCLUDED;
}

namespace {

// Appends `code` as UTF-8 within `capacity` bytes, one kept for the
// terminator; false for NUL, a surrogate, past U+10FFFF or no room.
bool put_utf8(uint32_t code, char* out, size_t capacity, size_t* used) {
    if (code == 0 || (code >= 0xd800 && code <= 0xdfff) || code > 0x10ffff) return false;
    uint8_t bytes[4];
    size_t n = 0;
    if (code < 0x80) {
        bytes[n++] = static_cast<uint8_t>(code);
    } else {
        size_t extra = code < 0x800 ? 1 : code < 0x10000 ? 2 : 3;
        static const uint8_t LEAD[] = {0, 0xc0, 0xe0, 0xf0};
        bytes[n++] = static_cast<uint8_t>(LEAD[extra] | code >> (6 * extra));
        for (size_t i = extra; i > 0; --i)
            bytes[n++] = static_cast<uint8_t>(0x80 | ((code >> (6 * (i - 1))) & 0x3f));
    }
    if (*used + n >= capacity) return false;
    for (size_t i = 0; i < n; ++i) out[(*used)++] = static_cast<char>(bytes[i]);
    return true;
}

// The next code point of a UTF-8 string; false for a malformed or overlong
// sequence.
bool next_utf8(const uint8_t** p, const uint8_t* end, uint32_t* code) {
    uint8_t lead = *(*p)++;
    size_t extra = lead < 0x80                   ? 0
                   : lead >= 0xc2 && lead < 0xe0 ? 1
                   : lead >= 0xe0 && lead < 0xf0 ? 2
                   : lead >= 0xf0 && lead < 0xf5 ? 3
                                                 : 4;
    if (extra == 4 || static_cast<size_t>(end - *p) < extra) return false;
    static const uint32_t MIN[] = {0, 0x80, 0x800, 0x10000};
    uint32_t value = extra == 0 ? lead : lead & (0x3fu >> extra);
    for (size_t i = 0; i < extra; ++i) {
        uint8_t next = *(*p)++;
        if ((next & 0xc0) != 0x80) return false;
        value = value << 6 | (next & 0x3fu);
    }
    *code = value;
    return value >= MIN[extra];
}

// Decodes a directory string of type `tag` into UTF-8.
bool decode_text(uint8_t tag, DerSpan text, char* out, size_t capacity) {
    size_t width = tag == DER_BMP_STRING ? 2 : tag == DER_UNIVERSAL_STRING ? 4 : 1;
    bool ascii = tag == DER_PRINTABLE_STRING || tag == DER_IA5_STRING || tag == DER_VISIBLE_STRING;
    if (tag != DER_UTF8_STRING && tag != DER_TELETEX_STRING && width == 1 && !ascii) return false;
    if ((text.end - text.at) % static_cast<ptrdiff_t>(width) != 0) return false;
    size_t used = 0;
    const uint8_t* p = text.at;
    while (p < text.end) {
        uint32_t code = 0;
        if (tag == DER_UTF8_STRING) {
            if (!next_utf8(&p, text.end, &code)) return false;
        } else {
            for (size_t i = 0; i < width; ++i) code = code << 8 | *p++;
        }
        // BMP strings in the wild carry UTF-16: a surrogate pair is one character.
        if (width == 2 && code >= 0xd800 && code < 0xdc00 && text.end - p >= 2) {
            uint32_t low = static_cast<uint32_t>(p[0] << 8 | p[1]);
            if (low >= 0xdc00 && low <= 0xdfff) {
                code = 0x10000 + ((code - 0xd800) << 10) + (low - 0xdc00);
                p += 2;
            }
        }
        if ((ascii && code >= 0x80) || !put_utf8(code, out, capacity, &used)) return false;
    }
    out[used] = '\0';
    return used > 0;
}

}  // namespace

bool common_name(const uint8_t* name, size_t length, char* out, size_t capacity) {
    if (capacity == 0) return false;
    out[0] = '\0';
    DerSpan span = {name, name + length};
    DerSpan rdns;
    if (!der_enter(&span, DER_SEQUENCE, &rdns) || span.at != span.end) return false;
    DerItem value = {};
    int found = 0;
    DerSpan rdn;
    while (rdns.at != rdns.end) {
        if (!der_enter(&rdns, DER_SET, &rdn)) return false;
        DerSpan attribute;
        DerItem type;
        DerItem item;
        while (rdn.at != rdn.end) {
            if (!der_enter(&rdn, DER_SEQUENCE, &attribute) ||
                !der_expect(&attribute, DER_OID, &type) || !der_next(&attribute, &item))
                return false;
            if (der_is_oid(type, OID_COMMON_NAME) && found++ == 0) value = item;
        }
    }
    if (found != 1 || !decode_text(value.tag, value.body, out, capacity)) {
        out[0] = '\0';
        return false;
    }
    return true;
}

namespace {

// Days from 1970-01-01 to the civil date (proleptic Gregorian).
int64_t days_from_civil(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2 ? 1 : 0;
    int64_t era = (y >= 0 ? y : y - 399) / 400;
    int64_t yoe = y - era * 400;
    int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// GeneralizedTime as DER has it: YYYYMMDDHHMMSS, an optional fraction, Z.
bool generalized_time(DerSpan text, int64_t* seconds) {
    int64_t field[6] = {};
    static const int WIDTH[6] = {4, 2, 2, 2, 2, 2};
    const uint8_t* p = text.at;
    for (int f = 0; f < 6; ++f) {
        for (int i = 0; i < WIDTH[f]; ++i) {
            if (p == text.end || *p < '0' || *p > '9') return false;
            field[f] = field[f] * 10 + (*p++ - '0');
        }
    }
    if (p != text.end && *p == '.')
        for (++p; p != text.end && *p >= '0' && *p <= '9';) ++p;
    if (p == text.end || *p != 'Z' || p + 1 != text.end) return false;
    if (field[1] < 1 || field[1] > 12 || field[2] < 1 || field[2] > 31 || field[3] > 23 ||
        field[4] > 59 || field[5] > 60)
        return false;
    *seconds = days_from_civil(field[0], field[1], field[2]) * 86400 + field[3] * 3600 +
               field[4] * 60 + field[5];
    return true;
}

}  // namespace

namespace {

const uint8_t OID_RFC3161_COUNTER_SIGNATURE[] = {0x2b, 0x06, 0x01, 0x04, 0x01,
                                                 0x82, 0x37, 0x03, 0x03, 0x01};
const uint8_t OID_MESSAGE_DIGEST[] = {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x09, 0x04};
const size_t SHA2_SIZES[] = {0, 32, 48, 64};

// The first value of the attribute `oid` in a SET OF Attribute.
// Inlined into its two callers: one function fewer keeps the pinned
// Windows program within its size.
[[gnu::always_inline]] inline bool attribute(DerSpan attributes, const uint8_t* oid,
                                             size_t oid_length, DerItem* value) {
    DerSpan one;
    DerItem type;
    DerSpan values;
    while (der_enter(&attributes, DER_SEQUENCE, &one)) {
        if (der_expect(&one, DER_OID, &type) && der_is_oid(type, oid, oid_length) &&
            der_enter(&one, DER_SET, &values))
            return der_next(&values, value);
    }
    return false;
}

// The token's TSTInfo: its bytes, its imprint and its time.
bool tst_info(DerSpan content, TimeStamp* stamp) {
    DerSpan octets;
    DerSpan tst;
    DerSpan imprint;
    DerItem skip;
    DerItem digest;
    DerItem time;
    if (!der_enter(&content, DER_OCTET_STRING, &octets)) return false;
    stamp->tst_info = bytes_of(octets);
    if (!der_enter(&octets, DER_SEQUENCE, &tst) || !der_expect(&tst, DER_INTEGER, &skip) ||
        !der_expect(&tst, DER_OID, &skip) || !der_enter(&tst, DER_SEQUENCE, &imprint))
        return false;
    int sha2 = sha2_of(&imprint);
    if (sha2 == 0 || !der_expect(&imprint, DER_OCTET_STRING, &digest) ||
        static_cast<size_t>(digest.body.end - digest.body.at) != SHA2_SIZES[sha2] ||
        !der_expect(&tst, DER_INTEGER, &skip) || !der_expect(&tst, DER_GENERALIZED_TIME, &time) ||
        !generalized_time(time.body, &stamp->seconds))
        return false;
    stamp->imprint_digest = static_cast<Sha2>(sha2 - 1);
    stamp->imprint = bytes_of(digest.body);
    return true;
}

}  // namespace

bool signature_time_stamp(const uint8_t* der, size_t length, TimeStamp* stamp) {
    SignedMessage file;
    SignedMessage token;
    DerItem value;
    if (!signed_message({der, length}, OID_SPC_INDIRECT_DATA, sizeof OID_SPC_INDIRECT_DATA,
                        &file) ||
        !attribute(file.unsigned_attributes, OID_RFC3161_COUNTER_SIGNATURE,
                   sizeof OID_RFC3161_COUNTER_SIGNATURE, &value) ||
        value.tag != DER_SEQUENCE)
        return false;
    stamp->signed_value = bytes_of(file.signature);
    // The token is the whole SEQUENCE, header included.
    stamp->token = {value.start, static_cast<size_t>(value.body.end - value.start)};
    if (!signed_message(stamp->token, OID_TST_INFO, sizeof OID_TST_INFO, &token) ||
        token.digest == 0 || !tst_info(token.content, stamp) ||
        !attribute(token.signed_attributes, OID_MESSAGE_DIGEST, sizeof OID_MESSAGE_DIGEST,
                   &value) ||
        value.tag != DER_OCTET_STRING ||
        static_cast<size_t>(value.body.end - value.body.at) != SHA2_SIZES[token.digest])
        return false;
    stamp->token_digest = static_cast<Sha2>(token.digest - 1);
    stamp->message_digest = bytes_of(value.body);
    return true;
}
