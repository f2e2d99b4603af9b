// Authenticode as Windows checks it, on OpenSSL: the image digest skips the
// checksum, the certificate table's directory entry and the table itself,
// which holds a PKCS#7 SignedData whose SpcIndirectDataContent names that
// digest and whose signer must chain to a trusted root for code signing.
#include "posix/signature.h"

#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509v3.h>
#include <sys/types.h>

#include <cstring>

#include "posix/trust.h"

namespace {

// Far above a signature with its chain and a time stamp.
constexpr uint32_t CERT_TABLE_CAPACITY = 65536;
constexpr uint32_t HEAD_BYTES = 4096;
uint8_t g_cert_table[CERT_TABLE_CAPACITY];
uint8_t g_chunk[65536];

struct PeLayout {
    uint64_t checksum_at;    // the optional header's CheckSum field
    uint64_t cert_entry_at;  // the certificate table's data directory entry
    uint64_t cert_at;        // the table itself; size 0 when unsigned
    uint64_t cert_size;
    uint64_t file_size;
};

uint32_t le16(const uint8_t* p) { return static_cast<uint32_t>(p[0] | p[1] << 8); }
uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

bool seek(FILE* file, uint64_t offset) {
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
}

// False when the file is no PE image with a certificate table entry.
bool pe_layout(FILE* file, PeLayout* pe) {
    uint8_t head[HEAD_BYTES];
    if (fseeko(file, 0, SEEK_END) != 0) return false;
    off_t size = ftello(file);
    if (size < 0 || !seek(file, 0)) return false;
    size_t n = fread(head, 1, sizeof head, file);
    if (n < 64 || head[0] != 'M' || head[1] != 'Z') return false;
    uint64_t pe_at = le32(head + 0x3c);
    if (pe_at + 26 > n || memcmp(head + pe_at, "PE\0\0", 4) != 0) return false;
    uint64_t optional = pe_at + 24;
    uint64_t optional_end = optional + le16(head + pe_at + 20);
    uint32_t magic = le16(head + optional);
    uint64_t dirs = magic == 0x20b ? optional + 112 : magic == 0x10b ? optional + 96 : 0;
    if (dirs == 0 || dirs + 40 > optional_end || dirs + 40 > n || le32(head + dirs - 4) < 5)
        return false;
    pe->checksum_at = optional + 64;
    pe->cert_entry_at = dirs + 32;
    pe->cert_at = le32(head + dirs + 32);
    pe->cert_size = le32(head + dirs + 36);
    pe->file_size = static_cast<uint64_t>(size);
    return true;
}

bool hash_range(FILE* file, EVP_MD_CTX* md, uint64_t from, uint64_t to) {
    if (from > to || !seek(file, from)) return false;
    while (from < to) {
        size_t n = to - from < sizeof g_chunk ? static_cast<size_t>(to - from) : sizeof g_chunk;
        if (fread(g_chunk, 1, n, file) != n || EVP_DigestUpdate(md, g_chunk, n) != 1) return false;
        from += n;
    }
    return true;
}

bool image_digest(FILE* file, const PeLayout& pe, const EVP_MD* type, uint8_t* out,
                  unsigned* length) {
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    bool ok = md != nullptr && EVP_DigestInit_ex(md, type, nullptr) == 1 &&
              hash_range(file, md, 0, pe.checksum_at) &&
              hash_range(file, md, pe.checksum_at + 4, pe.cert_entry_at) &&
              hash_range(file, md, pe.cert_entry_at + 8, pe.cert_at) &&
              EVP_DigestFinal_ex(md, out, length) == 1;
    EVP_MD_CTX_free(md);
    return ok;
}

// The table must end the file, as the signer leaves it, and hold one
// WIN_CERTIFICATE of revision 2 with a PKCS#7 SignedData; null otherwise.
PKCS7* read_signature(FILE* file, const PeLayout& pe) {
    if (pe.cert_at + pe.cert_size != pe.file_size || pe.cert_size < 8 ||
        pe.cert_size > CERT_TABLE_CAPACITY || !seek(file, pe.cert_at) ||
        fread(g_cert_table, 1, pe.cert_size, file) != pe.cert_size)
        return nullptr;
    uint32_t length = le32(g_cert_table);
    if (length < 8 || length > pe.cert_size || le16(g_cert_table + 4) != 0x0200 ||
        le16(g_cert_table + 6) != 2)
        return nullptr;
    const unsigned char* p = g_cert_table + 8;
    PKCS7* p7 = d2i_PKCS7(nullptr, &p, static_cast<long>(length - 8));
    if (p7 != nullptr && PKCS7_type_is_signed(p7) && p7->d.sign->contents != nullptr) return p7;
    PKCS7_free(p7);
    return nullptr;
}

// What the signature covers: the SpcIndirectDataContent without its own
// header, and the image digest it names.
struct SignedContent {
    const uint8_t* bytes;
    long length;
    const EVP_MD* type;
    uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned digest_length;
};

bool enter(const uint8_t** p, const uint8_t* end, long* length) {
    int tag = 0;
    int xclass = 0;
    int flags = ASN1_get_object(p, length, &tag, &xclass, end - *p);
    return (flags & 0x80) == 0 && tag == V_ASN1_SEQUENCE && *length <= end - *p;
}

bool signed_content(PKCS7* p7, SignedContent* out) {
    ASN1_TYPE* other = p7->d.sign->contents->d.other;
    if (PKCS7_type_is_data(p7->d.sign->contents) || other == nullptr ||
        other->type != V_ASN1_SEQUENCE)
        return false;
    const uint8_t* p = other->value.sequence->data;
    const uint8_t* end = p + other->value.sequence->length;
    long length = 0;
    if (!enter(&p, end, &length)) return false;
    out->bytes = p;
    out->length = length;
    end = p + length;
    if (!enter(&p, end, &length)) return false;  // SpcAttributeTypeAndOptionalValue
    p += length;
    if (!enter(&p, end, &length)) return false;  // DigestInfo
    X509_ALGOR* algorithm = d2i_X509_ALGOR(nullptr, &p, length);
    if (algorithm == nullptr) return false;
    out->type = EVP_get_digestbyobj(algorithm->algorithm);
    X509_ALGOR_free(algorithm);
    ASN1_OCTET_STRING* digest = d2i_ASN1_OCTET_STRING(nullptr, &p, end - p);
    bool ok = digest != nullptr && out->type != nullptr &&
              ASN1_STRING_length(digest) == EVP_MD_get_size(out->type);
    if (ok) {
        out->digest_length = static_cast<unsigned>(ASN1_STRING_length(digest));
        memcpy(out->digest, ASN1_STRING_get0_data(digest), out->digest_length);
    }
    ASN1_OCTET_STRING_free(digest);
    return ok;
}

// The signer's signature over the content, its chain not yet looked at.
bool signature_holds(PKCS7* p7, const SignedContent& content) {
    BIO* in = BIO_new_mem_buf(content.bytes, static_cast<int>(content.length));
    bool ok = in != nullptr &&
              PKCS7_verify(p7, nullptr, nullptr, in, nullptr, PKCS7_NOVERIFY | PKCS7_BINARY) == 1;
    BIO_free(in);
    return ok;
}

// OpenSSL 3.0 has no code-signing purpose: the chain is verified for any
// purpose and the signer's own certificate must name code signing.
bool chain_trusted(PKCS7* p7, X509* signer) {
    X509_STORE* store = posix_trust_store();
    X509_STORE_CTX* chain = X509_STORE_CTX_new();
    bool ok = store != nullptr && chain != nullptr &&
              X509_STORE_CTX_init(chain, store, signer, p7->d.sign->cert) == 1 &&
              X509_verify_cert(chain) == 1;
    X509_STORE_CTX_free(chain);
    return ok && (X509_get_extension_flags(signer) & EXFLAG_XKUSAGE) != 0 &&
           (X509_get_extended_key_usage(signer) & XKU_CODE_SIGN) != 0;
}

SignatureVerdict judge(FILE* file, const PeLayout& pe, PKCS7* p7, char* signer, uint32_t capacity) {
    SignedContent content{};
    uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    if (!signed_content(p7, &content) || !image_digest(file, pe, content.type, digest, &length) ||
        length != content.digest_length || memcmp(digest, content.digest, length) != 0 ||
        !signature_holds(p7, content))
        return SignatureVerdict::ALTERED;
    STACK_OF(X509)* signers = PKCS7_get0_signers(p7, nullptr, 0);
    X509* cert = sk_X509_num(signers) == 1 ? sk_X509_value(signers, 0) : nullptr;
    SignatureVerdict verdict = SignatureVerdict::NOT_TRUSTED;
    if (cert != nullptr && chain_trusted(p7, cert)) {
        verdict = SignatureVerdict::SIGNED;
        (void)X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, signer,
                                        static_cast<int>(capacity));
    }
    sk_X509_free(signers);
    return verdict;
}

}  // namespace

SignatureVerdict posix_check_signature(FILE* file, const char*, char* signer, uint32_t capacity) {
    if (capacity > 0) signer[0] = '\0';
    PeLayout pe;
    if (!pe_layout(file, &pe) || pe.cert_size == 0) return SignatureVerdict::NOT_SIGNED;
    PKCS7* p7 = read_signature(file, pe);
    SignatureVerdict verdict =
        p7 == nullptr ? SignatureVerdict::ALTERED : judge(file, pe, p7, signer, capacity);
    PKCS7_free(p7);
    ERR_clear_error();
    return verdict;
}
