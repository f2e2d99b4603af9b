// Authenticode on Windows. WinVerifyTrust checks the image digest and the
// signature, but its policy is not relied on alone (Wine's passes chains
// that Windows refuses): the signer's chain is built again here, at the time
// of a time stamp that holds, and judged with the Authenticode chain policy
// and with the usages every certificate of it names.
// The revocation call's timeout is among these fields.
#define CERT_REVOCATION_PARA_HAS_EXTRA_FIELDS
#include <windows.h>
//
#include <io.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstring>

#include "pe/authenticode.h"
#include "pe/image.h"
#include "win32/load.h"
#include "win32/signature.h"

namespace {

constexpr DWORD ENCODING = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// WINTRUST and CRYPT32 are no KnownDLLs: loaded by hand from System32 and
// bound by name, in the order of the names below.
struct TrustApi {
    decltype(&WinVerifyTrust) verify;
    decltype(&WTHelperProvDataFromStateData) provider_data;
    decltype(&WTHelperGetProvSignerFromChain) signer_from_chain;
    decltype(&CertGetCertificateChain) get_chain;
    decltype(&CertVerifyCertificateChainPolicy) chain_policy;
    decltype(&CertFreeCertificateChain) free_chain;
    decltype(&CryptHashCertificate) hash;
    decltype(&CryptVerifyMessageSignature) verify_message;
    decltype(&CertFreeCertificateContext) free_certificate;
    decltype(&CertVerifyRevocation) verify_revocation;
    decltype(&CertDuplicateCertificateChain) duplicate_chain;
};
// WINTRUST's functions, then CRYPT32's: their names in the record's order,
// each ended by a NUL.
constexpr int WINTRUST_FUNCTIONS = 3;
constexpr int TRUST_FUNCTIONS = sizeof(TrustApi) / sizeof(FARPROC);
const char WINTRUST_NAMES[] =
    "WinVerifyTrust\0WTHelperProvDataFromStateData\0WTHelperGetProvSignerFromChain";
const char CRYPT32_NAMES[] =
    "CertGetCertificateChain\0CertVerifyCertificateChainPolicy\0CertFreeCertificateChain\0"
    "CryptHashCertificate\0CryptVerifyMessageSignature\0CertFreeCertificateContext\0"
    "CertVerifyRevocation\0CertDuplicateCertificateChain";

// Bound once and never written again: a revocation check left running past
// its bound still reads it.
TrustApi g_api;
bool g_api_bound = false;

bool trust_ready() {
    if (g_api_bound) return true;
    TrustApi api;
    FARPROC* slots = reinterpret_cast<FARPROC*>(&api);
    g_api_bound =
        bind_all(system_library(L"wintrust.dll"), WINTRUST_NAMES, WINTRUST_FUNCTIONS, slots) &&
        bind_all(system_library(L"crypt32.dll"), CRYPT32_NAMES,
                 TRUST_FUNCTIONS - WINTRUST_FUNCTIONS, slots + WINTRUST_FUNCTIONS);
    if (g_api_bound) g_api = api;
    // Held for the process: CRYPT32 loads CRYPTNET for each revocation check
    // and frees it after, while Wine's WININET may still call back into it
    // (measured: a thread pool worker ran into the freed module).
    (void)system_library(L"cryptnet.dll");
    return g_api_bound;
}

// WinVerifyTrust's own verdict; it is not asked for revocation.
SignatureVerdict trust_verdict(LONG status) {
    switch (status) {
        case ERROR_SUCCESS: return SignatureVerdict::SIGNED;
        case TRUST_E_NOSIGNATURE:
        case TRUST_E_SUBJECT_FORM_UNKNOWN: return SignatureVerdict::NOT_SIGNED;
        case TRUST_E_BAD_DIGEST:
        case NTE_BAD_SIGNATURE:
        case CRYPT_E_HASH_VALUE: return SignatureVerdict::ALTERED;
        case CERT_E_EXPIRED: return SignatureVerdict::EXPIRED;
        case CERT_E_WRONG_USAGE: return SignatureVerdict::NOT_FOR_CODE_SIGNING;
        default: return SignatureVerdict::NOT_TRUSTED;
    }
}

// Whether each certificate of the chain allows `usage`; the first, the
// one judged, must name it when `named`.
bool chain_allows(const CERT_SIMPLE_CHAIN& chain, KeyUsage usage, bool named) {
    for (DWORD i = 0; i < chain.cElement; ++i) {
        PCCERT_CONTEXT cert = chain.rgpElement[i]->pCertContext;
        UsageSays says = certificate_usage(cert->pbCertEncoded, cert->cbCertEncoded, usage);
        if (says == UsageSays::EXCLUDED || (named && i == 0 && says != UsageSays::NAMED))
            return false;
    }
    return true;
}

constexpr DWORD UNTRUSTED = CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN |
                            CERT_TRUST_IS_NOT_SIGNATURE_VALID | CERT_TRUST_IS_CYCLIC |
                            CERT_TRUST_INVALID_BASIC_CONSTRAINTS;

// What the revocation check ends with, as its thread's exit code.
enum : DWORD { STATUS_GOOD, STATUS_REVOKED, STATUS_UNCHECKED };

// The status of every certificate of `chain` but the root, each asked of its
// distribution points with its issuer. Runs on a thread of its own and frees
// the chain it is given.
DWORD WINAPI check_revocation(void* chain_context) {
    auto* context = static_cast<PCCERT_CHAIN_CONTEXT>(chain_context);
    const CERT_SIMPLE_CHAIN& chain = *context->rgpChain[0];
    const ULONGLONG deadline = GetTickCount64() + REVOCATION_LIMIT_MS;
    DWORD result = STATUS_GOOD;
    for (DWORD i = 0; i + 1 < chain.cElement && (result & 0xff) != STATUS_REVOKED; ++i) {
        ULONGLONG now = GetTickCount64();
        CERT_REVOCATION_PARA para = {};
        para.cbSize = sizeof para;
        para.pIssuerCert = chain.rgpElement[i + 1]->pCertContext;
        para.dwUrlRetrievalTimeout = now < deadline ? static_cast<DWORD>(deadline - now) : 1;
        CERT_REVOCATION_STATUS status = {};
        status.cbSize = sizeof status;
        void* cert = const_cast<CERT_CONTEXT*>(chain.rgpElement[i]->pCertContext);
        if (now < deadline &&
            g_api.verify_revocation(ENCODING, CERT_CONTEXT_REVOCATION_TYPE, 1, &cert,
                                    CERT_VERIFY_REV_ACCUMULATIVE_TIMEOUT_FLAG, &para, &status))
            continue;
        // A revoked certificate's place in the chain goes with the verdict.
        result = status.dwError == static_cast<DWORD>(CRYPT_E_REVOKED) ? STATUS_REVOKED | i << 8
                                                                       : STATUS_UNCHECKED;
    }
    g_api.free_chain(context);
    return result;
}

// Certificates found revoked in this run, by their SHA-256: asked again,
// Wine answers from its own cache that they are good.
constexpr int REVOKED_MEMORY = 8;
BYTE g_revoked[REVOKED_MEMORY][32];
int g_revoked_count = 0;

// Whether the certificate was found revoked before; with `remember`, it is
// noted as such.
[[gnu::always_inline]] inline bool revoked_before(PCCERT_CONTEXT cert, bool remember) {
    BYTE thumbprint[32];
    DWORD size = sizeof thumbprint;
    if (!g_api.hash(0, CALG_SHA_256, 0, cert->pbCertEncoded, cert->cbCertEncoded, thumbprint,
                    &size))
        return false;
    for (int i = 0; i < g_revoked_count; ++i)
        if (memcmp(g_revoked[i], thumbprint, sizeof thumbprint) == 0) return true;
    if (remember && g_revoked_count < REVOKED_MEMORY)
        memcpy(g_revoked[g_revoked_count++], thumbprint, sizeof thumbprint);
    return false;
}

// The chain's revocation status, within REVOCATION_LIMIT_MS whatever the
// servers do: CertVerifyRevocation's own timeout does not bound a list that
// trickles or never ends (Wine's bounds neither), so it runs on a thread of
// its own, which is left behind, with its own copy of the chain, when it has
// not answered in time.
SignatureVerdict revocation(PCCERT_CHAIN_CONTEXT chain, SignerFacts* signer) {
    const CERT_SIMPLE_CHAIN& simple = *chain->rgpChain[0];
    for (DWORD i = 0; i + 1 < simple.cElement; ++i)
        if (revoked_before(simple.rgpElement[i]->pCertContext, false))
            return SignatureVerdict::REVOKED;
    PCCERT_CHAIN_CONTEXT copy = g_api.duplicate_chain(chain);
    HANDLE thread = copy != nullptr
                        ? CreateThread(nullptr, 0, check_revocation,
                                       const_cast<CERT_CHAIN_CONTEXT*>(copy), 0, nullptr)
                        : nullptr;
    DWORD result = STATUS_UNCHECKED;
    if (thread == nullptr) {
        if (copy != nullptr) g_api.free_chain(copy);
    } else if (WaitForSingleObject(thread, REVOCATION_LIMIT_MS) != WAIT_OBJECT_0 ||
               !GetExitCodeThread(thread, &result)) {
        result = STATUS_UNCHECKED;
    }
    if (thread != nullptr) CloseHandle(thread);
    signer->revocation_unchecked = result == STATUS_UNCHECKED;
    if ((result & 0xff) != STATUS_REVOKED) return SignatureVerdict::SIGNED;
    DWORD place = result >> 8;
    if (place < simple.cElement) (void)revoked_before(simple.rgpElement[place]->pCertContext, true);
    return SignatureVerdict::REVOKED;
}

// The chain of `leaf` as Windows builds it at `when` (null: now), judged
// by the Authenticode policy, by its own error flags (which Wine's policy
// lets pass) and by the usages its certificates name; then, for a signer
// (non-null `signer`), by its revocation status now.
SignatureVerdict chain_verdict(PCCERT_CONTEXT leaf, HCERTSTORE store, FILETIME* when,
                               KeyUsage usage, SignerFacts* signer = nullptr) {
    CERT_CHAIN_PARA para = {};
    para.cbSize = sizeof para;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!g_api.get_chain(nullptr, leaf, when, store, &para, 0, nullptr, &chain))
        return SignatureVerdict::NOT_TRUSTED;
    CERT_CHAIN_POLICY_PARA policy = {};
    policy.cbSize = sizeof policy;
    CERT_CHAIN_POLICY_STATUS status = {};
    status.cbSize = sizeof status;
    if (!g_api.chain_policy(CERT_CHAIN_POLICY_AUTHENTICODE, chain, &policy, &status))
        status.dwError = static_cast<DWORD>(CERT_E_CHAINING);
    DWORD errors = chain->TrustStatus.dwErrorStatus;
    bool expired = (errors & CERT_TRUST_IS_NOT_TIME_VALID) != 0 ||
                   status.dwError == static_cast<DWORD>(CERT_E_EXPIRED);
    SignatureVerdict verdict =
        chain->cChain == 0 || (errors & UNTRUSTED) != 0 || (status.dwError != 0 && !expired)
            ? SignatureVerdict::NOT_TRUSTED
        : !chain_allows(*chain->rgpChain[0], usage, usage == KeyUsage::TIME_STAMPING)
            ? SignatureVerdict::NOT_FOR_CODE_SIGNING
        : expired ? SignatureVerdict::EXPIRED
                  : SignatureVerdict::SIGNED;
    if (verdict == SignatureVerdict::SIGNED && signer != nullptr)
        verdict = revocation(chain, signer);
    g_api.free_chain(chain);
    return verdict;
}

bool digest_is(Sha2 digest, const Bytes& data, const Bytes& expected) {
    static const ALG_ID ALGORITHMS[] = {CALG_SHA_256, CALG_SHA_384, CALG_SHA_512};
    BYTE out[64];
    DWORD size = sizeof out;
    return g_api.hash(0, ALGORITHMS[static_cast<int>(digest)], 0, data.at,
                      static_cast<DWORD>(data.length), out, &size) != 0 &&
           size == expected.length && memcmp(out, expected.at, size) == 0;
}

// Whether the token's signature holds, by a time-stamping authority whose
// chain was valid at `when`, the time it gives.
bool token_holds(const Bytes& token, FILETIME when) {
    CRYPT_VERIFY_MESSAGE_PARA para = {};
    para.cbSize = sizeof para;
    para.dwMsgAndCertEncodingType = ENCODING;
    PCCERT_CONTEXT authority = nullptr;
    bool ok = g_api.verify_message(&para, 0, token.at, static_cast<DWORD>(token.length), nullptr,
                                   nullptr, &authority) != 0 &&
              chain_verdict(authority, authority->hCertStore, &when, KeyUsage::TIME_STAMPING) ==
                  SignatureVerdict::SIGNED;
    if (authority != nullptr) g_api.free_certificate(authority);
    return ok;
}

// The time a valid RFC 3161 time stamp of the file's signature gives; false
// when it has none that holds, and the signer's chain is then judged now.
bool time_stamped_at(const uint8_t* signature, uint32_t length, FILETIME* when) {
    TimeStamp stamp;
    if (!signature_time_stamp(signature, length, &stamp) || stamp.seconds <= 0) return false;
    // The imprint digests the signature's value; the token's signer digested its TSTInfo.
    const Sha2 digests[] = {stamp.imprint_digest, stamp.token_digest};
    const Bytes* data[] = {&stamp.signed_value, &stamp.tst_info};
    const Bytes* expected[] = {&stamp.imprint, &stamp.message_digest};
    for (int i = 0; i < 2; ++i)
        if (!digest_is(digests[i], *data[i], *expected[i])) return false;
    // FILETIME counts 100 ns from 1601-01-01.
    uint64_t ticks = (static_cast<uint64_t>(stamp.seconds) + 11644473600ull) * 10000000ull;
    when->dwLowDateTime = static_cast<DWORD>(ticks);
    when->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return token_holds(stamp.token, *when);
}

// The signer's chain judged here, and its subject, from the state
// WinVerifyTrust verified.
SignatureVerdict judge_signer(HANDLE state, const uint8_t* signature, uint32_t length,
                              SignerFacts* signer) {
    CRYPT_PROVIDER_DATA* provider = g_api.provider_data(state);
    CRYPT_PROVIDER_SGNR* sgnr =
        provider != nullptr ? g_api.signer_from_chain(provider, 0, FALSE, 0) : nullptr;
    if (sgnr == nullptr || sgnr->csCertChain == 0 || sgnr->pasCertChain == nullptr ||
        provider->chStores == 0)
        return SignatureVerdict::NOT_TRUSTED;
    PCCERT_CONTEXT leaf = sgnr->pasCertChain[0].pCert;
    FILETIME when;
    bool stamped = time_stamped_at(signature, length, &when);
    SignatureVerdict verdict = chain_verdict(
        leaf, provider->pahStores[0], stamped ? &when : nullptr, KeyUsage::CODE_SIGNING, signer);
    const CERT_NAME_BLOB& subject = leaf->pCertInfo->Subject;
    if (verdict == SignatureVerdict::SIGNED && subject.cbData <= sizeof signer->subject) {
        memcpy(signer->subject, subject.pbData, subject.cbData);
        signer->subject_length = subject.cbData;
    }
    return verdict;
}

}  // namespace

SignatureVerdict win32_check_signature(FILE* file, const char* path, const uint8_t* signature,
                                       uint32_t signature_length, SignerFacts* signer) {
    signer->subject_length = 0;
    signer->revocation_unchecked = false;
    wchar_t wide_path[MAX_PATH * 2];
    if (!trust_ready() || MultiByteToWideChar(CP_ACP, 0, path, -1, wide_path, MAX_PATH * 2) == 0)
        return SignatureVerdict::NOT_TRUSTED;
    WINTRUST_FILE_INFO info = {sizeof info, wide_path,
                               reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file))), nullptr};
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    // Revocation is checked below, within a bound of the program's.
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &info;
    data.dwStateAction = WTD_STATEACTION_VERIFY;

    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    SignatureVerdict verdict =
        trust_verdict(g_api.verify(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data));
    if (verdict == SignatureVerdict::SIGNED)
        verdict = judge_signer(data.hWVTStateData, signature, signature_length, signer);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    (void)g_api.verify(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    return verdict;
}
