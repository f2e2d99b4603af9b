// Authenticode as Windows checks it, on OpenSSL: the image digest skips the
// checksum, the certificate table's directory entry and the table itself,
// which holds a PKCS#7 SignedData whose SpcIndirectDataContent names that
// digest and whose signer must chain to a trusted root for code signing.
#include "posix/signature.h"

#include <openssl/asn1.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509v3.h>
#include <sys/types.h>

#include <cstring>
#include <ctime>

#include "pe/authenticode.h"
#include "pe/image.h"
#include "posix/clock.h"
#include "posix/revocation.h"
#include "posix/trust.h"

namespace {

uint8_t g_chunk[65536];

bool seek(FILE* file, uint64_t offset) {
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
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

// What a certificate's extended key usages say, read as the Windows
// binding reads them.
UsageSays usage_of(X509* cert, KeyUsage usage) {
    uint8_t der[16384];
    int length = i2d_X509(cert, nullptr);
    uint8_t* out = der;
    if (length <= 0 || static_cast<size_t>(length) > sizeof der || i2d_X509(cert, &out) != length)
        return UsageSays::EXCLUDED;
    return certificate_usage(der, static_cast<size_t>(length), usage);
}

// Every certificate of a chain may sign code, as Windows intersects their
// usages: one that names usages must name code signing (or any usage).
bool chain_may_sign_code(STACK_OF(X509) * chain) {
    for (int i = 0; i < sk_X509_num(chain); ++i)
        if (usage_of(sk_X509_value(chain, i), KeyUsage::CODE_SIGNING) == UsageSays::EXCLUDED)
            return false;
    return true;
}

// What verifying a chain found, worst first.
struct ChainFaults {
    bool untrusted;
    bool expired;
    bool revoked;
    // A certificate below the root whose list is missing, stale or not the
    // issuer's: its status could not be checked.
    bool unchecked;
};
ChainFaults g_faults;

bool is_crl_fault(int error) {
    switch (error) {
        case X509_V_ERR_UNABLE_TO_GET_CRL:
        case X509_V_ERR_UNABLE_TO_DECRYPT_CRL_SIGNATURE:
        case X509_V_ERR_CRL_SIGNATURE_FAILURE:
        case X509_V_ERR_CRL_NOT_YET_VALID:
        case X509_V_ERR_CRL_HAS_EXPIRED:
        case X509_V_ERR_ERROR_IN_CRL_LAST_UPDATE_FIELD:
        case X509_V_ERR_ERROR_IN_CRL_NEXT_UPDATE_FIELD:
        case X509_V_ERR_UNABLE_TO_GET_CRL_ISSUER:
        case X509_V_ERR_KEYUSAGE_NO_CRL_SIGN:
        case X509_V_ERR_UNHANDLED_CRITICAL_CRL_EXTENSION:
        case X509_V_ERR_DIFFERENT_CRL_SCOPE:
        case X509_V_ERR_CRL_PATH_VALIDATION_ERROR: return true;
        default: return false;
    }
}

// Goes on past each fault so that all are seen; the verdict comes from them,
// never from the verification's own result.
int note_fault(int ok, X509_STORE_CTX* ctx) {
    if (ok == 1) return 1;
    int error = X509_STORE_CTX_get_error(ctx);
    int depth = X509_STORE_CTX_get_error_depth(ctx);
    bool root = depth + 1 >= sk_X509_num(X509_STORE_CTX_get0_chain(ctx));
    if (error == X509_V_ERR_CERT_HAS_EXPIRED || error == X509_V_ERR_CERT_NOT_YET_VALID)
        g_faults.expired = true;
    else if (error == X509_V_ERR_CERT_REVOKED)
        g_faults.revoked = true;
    else if (is_crl_fault(error))
        g_faults.unchecked = g_faults.unchecked || !root;
    else
        g_faults.untrusted = true;
    return 1;
}

// Verifies `leaf` with `untrusted` at `when` (0: now) and `purpose` (0:
// any), in a context whose parameters are its own: none of the flags that
// the HTTPS side sets on the shared store (partial chains, say) apply.
// With `crls`, every certificate's status is checked against them too.
// Returns the chain built, to be freed, or null when none could be.
STACK_OF(X509) * verify_chain(X509* leaf, STACK_OF(X509) * untrusted, time_t when, int purpose,
                              STACK_OF(X509_CRL) * crls = nullptr) {
    X509_STORE* store = posix_trust_store();
    X509_STORE_CTX* ctx = X509_STORE_CTX_new();
    X509_VERIFY_PARAM* param = X509_VERIFY_PARAM_new();
    STACK_OF(X509)* chain = nullptr;
    g_faults = {};
    // OpenSSL's defaults, not the store's: its depth, no flags.
    const X509_VERIFY_PARAM* defaults = X509_VERIFY_PARAM_lookup("default");
    if (store != nullptr && ctx != nullptr && param != nullptr && defaults != nullptr &&
        X509_VERIFY_PARAM_set1(param, defaults) == 1 &&
        X509_STORE_CTX_init(ctx, store, leaf, untrusted) == 1) {
        if (when != 0) X509_VERIFY_PARAM_set_time(param, when);
        if (purpose != 0) (void)X509_VERIFY_PARAM_set_purpose(param, purpose);
        if (crls != nullptr) {
            (void)X509_VERIFY_PARAM_set_flags(param,
                                              X509_V_FLAG_CRL_CHECK | X509_V_FLAG_CRL_CHECK_ALL);
            X509_STORE_CTX_set0_crls(ctx, crls);
        }
        X509_STORE_CTX_set0_param(ctx, param);
        param = nullptr;
        X509_STORE_CTX_set_verify_cb(ctx, note_fault);
        if (X509_verify_cert(ctx) != 1) g_faults.untrusted = true;
        chain = X509_STORE_CTX_get1_chain(ctx);
    } else {
        g_faults.untrusted = true;
    }
    X509_VERIFY_PARAM_free(param);
    X509_STORE_CTX_free(ctx);
    return chain;
}

// Whether the token's own signature holds over its TSTInfo (its message
// digest checked by CMS_verify), by a time-stamping authority whose chain
// was valid at the time it gives.
bool token_holds(const Bytes& token, time_t when) {
    const unsigned char* p = token.at;
    CMS_ContentInfo* cms = d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(token.length));
    bool ok = cms != nullptr && CMS_verify(cms, nullptr, nullptr, nullptr, nullptr,
                                           CMS_NO_SIGNER_CERT_VERIFY | CMS_BINARY) == 1;
    STACK_OF(X509)* signers = ok ? CMS_get0_signers(cms) : nullptr;
    if (ok && sk_X509_num(signers) == 1) {
        STACK_OF(X509)* certs = CMS_get1_certs(cms);
        X509* authority = sk_X509_value(signers, 0);
        STACK_OF(X509)* chain = verify_chain(authority, certs, when, X509_PURPOSE_TIMESTAMP_SIGN);
        ok = !g_faults.untrusted && !g_faults.expired &&
             usage_of(authority, KeyUsage::TIME_STAMPING) == UsageSays::NAMED;
        sk_X509_pop_free(chain, X509_free);
        sk_X509_pop_free(certs, X509_free);
    } else {
        ok = false;
    }
    sk_X509_free(signers);
    CMS_ContentInfo_free(cms);
    return ok;
}

// The time a valid RFC 3161 time stamp of the signature gives; 0 when it has
// none that holds, and the signer's chain is then judged now.
time_t time_stamped_at(const uint8_t* der, size_t length) {
    TimeStamp stamp;
    if (!signature_time_stamp(der, length, &stamp)) return 0;
    const EVP_MD* types[] = {EVP_sha256(), EVP_sha384(), EVP_sha512()};
    uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned digest_length = 0;
    time_t when = static_cast<time_t>(stamp.seconds);
    bool vouched =
        EVP_Digest(stamp.signed_value.at, stamp.signed_value.length, digest, &digest_length,
                   types[static_cast<int>(stamp.imprint_digest)], nullptr) == 1 &&
        digest_length == stamp.imprint.length &&
        memcmp(digest, stamp.imprint.at, digest_length) == 0;
    return vouched && when > 0 && token_holds(stamp.token, when) ? when : 0;
}

// The chain's status now, from the lists its certificates name, fetched
// within REVOCATION_LIMIT_MS; judged in a second pass, after the chain held
// at its time stamp.
SignatureVerdict revocation(X509* cert, STACK_OF(X509) * untrusted, STACK_OF(X509) * chain,
                            SignerFacts* signer) {
    STACK_OF(X509_CRL)* crls = posix_fetch_crls(chain, posix_now_ms() + REVOCATION_LIMIT_MS);
    STACK_OF(X509)* again = crls != nullptr ? verify_chain(cert, untrusted, 0, 0, crls) : nullptr;
    bool revoked = crls != nullptr && g_faults.revoked;
    signer->revocation_unchecked = crls == nullptr || g_faults.unchecked;
    sk_X509_pop_free(again, X509_free);
    sk_X509_CRL_pop_free(crls, X509_CRL_free);
    return revoked ? SignatureVerdict::REVOKED : SignatureVerdict::SIGNED;
}

SignatureVerdict judge_chain(PKCS7* p7, X509* cert, Bytes der, SignerFacts* signer) {
    time_t when = time_stamped_at(der.at, der.length);
    STACK_OF(X509)* chain = verify_chain(cert, p7->d.sign->cert, when, 0);
    SignatureVerdict verdict = g_faults.untrusted ? SignatureVerdict::NOT_TRUSTED
                               : !chain_may_sign_code(chain)
                                   ? SignatureVerdict::NOT_FOR_CODE_SIGNING
                               : g_faults.expired ? SignatureVerdict::EXPIRED
                                                  : SignatureVerdict::SIGNED;
    if (verdict == SignatureVerdict::SIGNED)
        verdict = revocation(cert, p7->d.sign->cert, chain, signer);
    sk_X509_pop_free(chain, X509_free);
    return verdict;
}

SignatureVerdict judge(FILE* file, const PeLayout& pe, PKCS7* p7, Bytes der, SignerFacts* signer) {
    SignedContent content{};
    uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    if (!signed_content(p7, &content) || !image_digest(file, pe, content.type, digest, &length) ||
        length != content.digest_length || memcmp(digest, content.digest, length) != 0 ||
        !signature_holds(p7, content))
        return SignatureVerdict::ALTERED;
    STACK_OF(X509)* signers = PKCS7_get0_signers(p7, nullptr, 0);
    X509* cert = sk_X509_num(signers) == 1 ? sk_X509_value(signers, 0) : nullptr;
    SignatureVerdict verdict =
        cert != nullptr ? judge_chain(p7, cert, der, signer) : SignatureVerdict::NOT_TRUSTED;
    const unsigned char* subject = nullptr;
    size_t subject_length = 0;
    if (verdict == SignatureVerdict::SIGNED &&
        X509_NAME_get0_der(X509_get_subject_name(cert), &subject, &subject_length) == 1 &&
        subject_length <= sizeof signer->subject) {
        memcpy(signer->subject, subject, subject_length);
        signer->subject_length = static_cast<uint32_t>(subject_length);
    }
    sk_X509_free(signers);
    return verdict;
}

}  // namespace

SignatureVerdict posix_check_signature(FILE* file, const char*, const uint8_t* signature,
                                       uint32_t signature_length, SignerFacts* signer) {
    signer->subject_length = 0;
    signer->revocation_unchecked = false;
    PeLayout pe;
    if (!pe_layout(file, &pe)) return SignatureVerdict::NOT_SIGNED;
    const unsigned char* p = signature;
    PKCS7* p7 = d2i_PKCS7(nullptr, &p, static_cast<long>(signature_length));
    SignatureVerdict verdict = SignatureVerdict::ALTERED;
    if (p7 != nullptr && PKCS7_type_is_signed(p7) && p7->d.sign->contents != nullptr)
        verdict = judge(file, pe, p7, {signature, signature_length}, signer);
    PKCS7_free(p7);
    ERR_clear_error();
    return verdict;
}
