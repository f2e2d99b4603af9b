#include "posix/revocation.h"

#include <curl/curl.h>
#include <openssl/x509v3.h>

#include <cstring>

#include "posix/clock.h"

namespace {

// Far above a CA's list for one intermediate; a longer body is cut off.
constexpr size_t CRL_CAPACITY = 4 << 20;
uint8_t g_crl[CRL_CAPACITY];
size_t g_crl_length;

size_t keep(char* data, size_t size, size_t count, void*) {
    size_t n = size * count;
    if (n > CRL_CAPACITY - g_crl_length) return 0;  // ends the transfer
    memcpy(g_crl + g_crl_length, data, n);
    g_crl_length += n;
    return n;
}

// The list at `url`, plain HTTP only, no redirect, by `deadline_ms`; null.
X509_CRL* fetch(const char* url, uint64_t deadline_ms) {
    uint64_t now = posix_now_ms();
    if (now >= deadline_ms) return nullptr;
    CURL* easy = curl_easy_init();
    if (easy == nullptr) return nullptr;
    g_crl_length = 0;
    long limit = static_cast<long>(deadline_ms - now);
    bool set = curl_easy_setopt(easy, CURLOPT_URL, url) == CURLE_OK &&
               curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http") == CURLE_OK &&
               curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
               curl_easy_setopt(easy, CURLOPT_FAILONERROR, 1L) == CURLE_OK &&
               curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, limit) == CURLE_OK &&
               curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, limit) == CURLE_OK &&
               curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, keep) == CURLE_OK;
    bool fetched = set && curl_easy_perform(easy) == CURLE_OK;
    curl_easy_cleanup(easy);
    const unsigned char* p = g_crl;
    return fetched ? d2i_X509_CRL(nullptr, &p, static_cast<long>(g_crl_length)) : nullptr;
}

// The first HTTP address among the certificate's distribution points, into
// `url`; false when it names none that fits.
bool distribution_point(X509* cert, char (&url)[1024]) {
    auto* points = static_cast<CRL_DIST_POINTS*>(
        X509_get_ext_d2i(cert, NID_crl_distribution_points, nullptr, nullptr));
    bool found = false;
    for (int i = 0; !found && i < sk_DIST_POINT_num(points); ++i) {
        DIST_POINT* point = sk_DIST_POINT_value(points, i);
        if (point->distpoint == nullptr || point->distpoint->type != 0) continue;
        GENERAL_NAMES* names = point->distpoint->name.fullname;
        for (int j = 0; !found && j < sk_GENERAL_NAME_num(names); ++j) {
            GENERAL_NAME* name = sk_GENERAL_NAME_value(names, j);
            if (name->type != GEN_URI) continue;
            const ASN1_STRING* uri = name->d.uniformResourceIdentifier;
            size_t n = static_cast<size_t>(ASN1_STRING_length(uri));
            found =
                n < sizeof url && n > 7 && memcmp(ASN1_STRING_get0_data(uri), "http://", 7) == 0;
            if (found) {
                memcpy(url, ASN1_STRING_get0_data(uri), n);
                url[n] = '\0';
                found = strlen(url) == n;
            }
        }
    }
    CRL_DIST_POINTS_free(points);
    return found;
}

}  // namespace

STACK_OF(X509_CRL) * posix_fetch_crls(STACK_OF(X509) * chain, uint64_t deadline_ms) {
    STACK_OF(X509_CRL)* crls = sk_X509_CRL_new_null();
    char fetched[4][1024] = {};
    int count = 0;
    for (int i = 0; crls != nullptr && i + 1 < sk_X509_num(chain); ++i) {
        char url[1024];
        if (!distribution_point(sk_X509_value(chain, i), url)) continue;
        bool again = false;
        for (int k = 0; k < count; ++k) again = again || strcmp(fetched[k], url) == 0;
        if (again || count == 4) continue;
        memcpy(fetched[count++], url, sizeof url);
        X509_CRL* crl = fetch(url, deadline_ms);
        if (crl != nullptr && sk_X509_CRL_push(crls, crl) == 0) X509_CRL_free(crl);
    }
    return crls;
}
